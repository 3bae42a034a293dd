# Lets Doxygen read the headers' plain comments as documentation:
#   - the comment that opens a header describes the file;
#   - a comment of its own before a declaration describes that declaration, and when a
#     run of one-line declarations without comments of their own follows it, each of them;
#   - a comment after a member or macro on the same line describes that member or macro.
{ line[NR] = $0 }

function is_comment_start(l) { return l ~ /^[ \t]*\/\*/ }
function is_plain_decl(l) {
    return (l ~ /^#define [A-Za-z_]/ || l ~ /^KT_API .*;$/) && l !~ /\/\*/
}
function trailing(l) {
    if (l !~ /^#endif/ && l ~ /[^ \t][ \t]+\/\* /) {
        sub(/[ \t]+\/\* /, " /**< ", l)
    }
    return l
}

END {
    i = 1
    while (i <= NR) {
        l = line[i]
        if (!is_comment_start(l)) {
            print trailing(l)
            i++
            continue
        }
        j = i
        while (j < NR && line[j] !~ /\*\//) j++
        if (i == 1) {
            sub(/^\/\*[ \t]*/, "", l)
            print "/** @file"
            if (l != "") print " * " l
        } else {
            sub(/\/\*/, "/**", l)
            print l
        }
        for (k = i + 1; k <= j; k++) print line[k]
        k = j + 1
        while (k <= NR && is_plain_decl(line[k])) k++
        if (k - j > 2) {
            print "///@{"
            for (m = j + 1; m < k; m++) print line[m]
            print "///@}"
            i = k
        } else {
            i = j + 1
        }
    }
}
