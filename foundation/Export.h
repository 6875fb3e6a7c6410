// Symbol visibility for libcx. The library is built with hidden visibility;
// only what is marked CX_EXPORT is part of its binary interface.
#pragma once

#if defined(CX_BUILDING_LIBRARY)
#define CX_EXPORT __attribute__((visibility("default")))
#else
#define CX_EXPORT
#endif
