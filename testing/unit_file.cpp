#include "unit_file.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace kttest {

namespace {

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

}  // namespace

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Environment read_environment(const std::string &path) {
    Environment vars;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        vars[line.substr(0, eq)] = value;
    }
    return vars;
}

Args exec_start(const std::string &unit, const Environment &vars, std::string *missing) {
    missing->clear();
    const auto lookup = [&](const std::string &name) {
        const auto value = vars.find(name);
        if (value == vars.end()) {
            *missing = name;
            return std::string();
        }
        return value->second;
    };
    std::istringstream in(unit);
    std::string line;
    while (std::getline(in, line) && line.rfind("ExecStart=", 0) != 0) {
    }
    Args args;
    for (std::string word : words(line.substr(std::strlen("ExecStart=")))) {
        if (word.size() > 1 && word[0] == '$' && word[1] != '{') {
            for (const std::string &w : words(lookup(word.substr(1)))) {
                args.push_back(w);
            }
            continue;
        }
        for (size_t at; (at = word.find("${")) != std::string::npos;) {
            const size_t end = word.find('}', at);
            word.replace(at, end - at + 1, lookup(word.substr(at + 2, end - at - 2)));
        }
        args.push_back(word);
    }
    return args;
}

}  // namespace kttest
