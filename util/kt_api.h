/* Export and linkage markers shared by every public header of the product. */
#ifndef KT_API_H
#define KT_API_H

/* Marks a declaration as part of a library's exported interface. */
#define KT_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KT_BEGIN_DECLS extern "C" {
#define KT_END_DECLS }
/* Exported functions never let an exception cross into C callers. */
#define KT_NOEXCEPT noexcept
#else
#define KT_BEGIN_DECLS /* opens the C-linkage block of a header (nothing in C) */
#define KT_END_DECLS   /* closes the C-linkage block of a header (nothing in C) */
#define KT_NOEXCEPT    /* noexcept in C++, nothing in C */
#endif

#endif /* KT_API_H */
