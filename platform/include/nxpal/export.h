// Export markers: libraries build with hidden visibility and export exactly what is marked.
#pragma once

#define NX_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define NX_EXTERN_C extern "C"
#else
#define NX_EXTERN_C
#endif

// Functions of the platform layer: C linkage so that programs find them by name.
#define NXPAL_API NX_EXTERN_C NX_EXPORT
