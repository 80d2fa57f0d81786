// Symbol visibility for the zorbel library.
//
// The library is built with -fvisibility=hidden so that only what a client may
// use is exported; every public class, function and variable carries ZORBEL_API.
// On Windows that is dllexport while building zorbel.dll and dllimport for the
// programs that use it, which data (dll_ver, protocol_critical and the other
// variables) needs.
#ifndef ZORBEL_EXPORT_H
#define ZORBEL_EXPORT_H

#if defined(_WIN32)
#if defined(ZORBEL_BUILDING)
#define ZORBEL_API __declspec(dllexport)
#elif defined(ZORBEL_STATIC)
// The library's objects linked into the program itself (its own tests).
#define ZORBEL_API
#else
#define ZORBEL_API __declspec(dllimport)
#endif
#else
#define ZORBEL_API __attribute__((visibility("default")))
#endif

#endif
