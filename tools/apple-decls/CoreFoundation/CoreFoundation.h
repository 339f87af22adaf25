#pragma once

#include <stddef.h>
#include <stdint.h>

// MacTypes.h
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef double Float64;
typedef SInt32 OSStatus;
enum { noErr = 0 };

#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
// CF_ENUM(type) { ... } is an anonymous enum; typedef CF_ENUM(type, Name) { ... } a named one.
#define CF_ANON_ENUM(_type) enum : _type
#define CF_NAMED_ENUM(_type, _name) enum _name : _type _name; enum _name : _type
#define CF_ENUM_GETMACRO(_1, _2, NAME, ...) NAME
#define CF_ENUM(...) CF_ENUM_GETMACRO(__VA_ARGS__, CF_NAMED_ENUM, CF_ANON_ENUM, )(__VA_ARGS__)

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

// CFBase.h
typedef long CFIndex;
typedef const void *CFTypeRef;
typedef const struct __CFAllocator *CFAllocatorRef;

// A synonym for NULL.
extern const CFAllocatorRef kCFAllocatorDefault;

extern void CFRelease(CFTypeRef cf);

// CFRunLoop.h
extern void CFRunLoopRun(void);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END
