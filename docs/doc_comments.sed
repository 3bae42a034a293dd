# Lets Doxygen read the headers' plain comments as documentation: the comment that opens
# a header describes the file, a comment of its own before a declaration describes that
# declaration, and a comment after a member or macro on the same line describes it.
1s|^/\*$|/** @file|
1s|^/\* \(.*\)|/** @file\n * \1|
2,$s|^\( *\)/\*$|\1/**|
2,$s|^\( *\)/\* |\1/** |
/^#endif/!s|\([^ ]\) \{1,\}/\* |\1 /**< |
