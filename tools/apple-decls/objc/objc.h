#pragma once

// id, Class, SEL and instancetype are built into the Objective-C compiler.

// arm64 macOS: BOOL is bool.
typedef bool BOOL;

#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#define nil nullptr
#endif
