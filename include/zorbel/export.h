// Symbol visibility for the zorbel library.
//
// The library is built with -fvisibility=hidden so that only what a client may
// use is exported; every public class, function and variable carries ZORBEL_API.
#ifndef ZORBEL_EXPORT_H
#define ZORBEL_EXPORT_H

#if defined(_WIN32)
#if defined(ZORBEL_BUILDING)
#define ZORBEL_API __declspec(dllexport)
#else
#define ZORBEL_API __declspec(dllimport)
#endif
#else
#define ZORBEL_API __attribute__((visibility("default")))
#endif

#endif
