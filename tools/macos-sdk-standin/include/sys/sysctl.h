// Stand-in: the parts of <sys/sysctl.h> (and the process record it pulls in)
// the Mac backend uses. Only the members read are declared; the real record
// is larger, which the check cannot see.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#define CTL_KERN 1
#define KERN_PROC 14
#define KERN_PROC_PID 1
#define MAXCOMLEN 16

struct extern_proc {
  int p_flag;
  char p_stat;
  pid_t p_pid;
  char p_comm[MAXCOMLEN + 1];
};

struct kinfo_proc {
  struct extern_proc kp_proc;
};

extern "C" int sysctl(int* name, unsigned int namelen, void* oldp, size_t* oldlenp, void* newp,
                      size_t newlen);
