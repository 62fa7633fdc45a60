// Brackets the functions of one processor level: they are compiled for that level's instruction
// set while the rest of the translation unit (and every header included before the bracket) stays
// generic. gcc takes the target as a pragma region; clang only through an attribute region.
#pragma once

#define SP_PRAGMA(x) _Pragma(#x)

#if defined(__clang__)
#define SP_LEVEL_TARGET_BEGIN(isa)                                                                           \
    SP_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define SP_LEVEL_TARGET_END SP_PRAGMA(clang attribute pop)
#else
#define SP_LEVEL_TARGET_BEGIN(isa) SP_PRAGMA(GCC push_options) SP_PRAGMA(GCC target(isa))
#define SP_LEVEL_TARGET_END SP_PRAGMA(GCC pop_options)
#endif
