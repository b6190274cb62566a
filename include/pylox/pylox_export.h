/* Symbol visibility and C linkage helpers of the libpylox interface. */
#ifndef PYLOX_EXPORT_H
#define PYLOX_EXPORT_H

#if defined(_WIN32)
#if defined(PYLOX_BUILDING)
#define PYLOX_API __declspec(dllexport)
#else
#define PYLOX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define PYLOX_API __attribute__((visibility("default")))
#else
#define PYLOX_API
#endif

#ifdef __cplusplus
#define PYLOX_BEGIN_DECLS extern "C" {
#define PYLOX_END_DECLS }
#else
#define PYLOX_BEGIN_DECLS
#define PYLOX_END_DECLS
#endif

/* Compile-time checks of record layouts, usable from C99 and C++. */
#if defined(__cplusplus)
#define PYLOX_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#else
#define PYLOX_STATIC_ASSERT(cond, name) typedef char pylox_sa_##name[(cond) ? 1 : -1]
#endif

#endif
