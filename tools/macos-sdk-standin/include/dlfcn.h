// Stand-in: the parts of <dlfcn.h> the Mac backend uses, with the SDK's own
// mode values (they differ from glibc's).
#pragma once

#define RTLD_NOW 0x2
#define RTLD_LOCAL 0x4

extern "C" {
void* dlopen(const char* path, int mode);
void* dlsym(void* handle, const char* symbol);
}
