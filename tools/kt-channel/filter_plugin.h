// The filter plug-in as the device opens it, to check filter names before they are sent.
#pragma once

#include <string>
#include <vector>

namespace ktchannel {

// The plug-in's name as the device opens it, through the library search path.
constexpr char kPluginName[] = "libktfilters.so";

class FilterPlugin {
  public:
    // Opens the plug-in; see ok() and error().
    FilterPlugin();
    ~FilterPlugin();
    FilterPlugin(const FilterPlugin &) = delete;
    FilterPlugin &operator=(const FilterPlugin &) = delete;

    bool ok() const { return handle_ != nullptr; }
    // The loader's text when the plug-in could not be opened.
    const std::string &error() const { return error_; }
    // Whether the device finds `name`: a function that the plug-in itself defines (not one
    // of a library it uses, nor a variable).
    bool is_filter(const std::string &name) const;
    // The functions the plug-in defines and exports, sorted by name.
    std::vector<std::string> filters() const;

  private:
    void *handle_ = nullptr;
    std::string error_;
};

}  // namespace ktchannel
