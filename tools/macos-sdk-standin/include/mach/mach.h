// Stand-in: the Mach task declarations the Mac backend uses.
#pragma once

#include <mach/mach_time.h>
#include <stdint.h>

typedef unsigned int mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t task_name_t;
typedef unsigned int natural_t;
typedef int integer_t;
typedef natural_t mach_msg_type_number_t;
typedef natural_t task_flavor_t;
typedef integer_t* task_info_t;
typedef uint64_t mach_vm_size_t;

#define KERN_SUCCESS 0
#define MACH_TASK_BASIC_INFO 20

struct time_value {
  integer_t seconds;
  integer_t microseconds;
};
typedef struct time_value time_value_t;
typedef int policy_t;

struct mach_task_basic_info {
  mach_vm_size_t virtual_size;
  mach_vm_size_t resident_size;
  mach_vm_size_t resident_size_max;
  time_value_t user_time;
  time_value_t system_time;
  policy_t policy;
  integer_t suspend_count;
};
typedef struct mach_task_basic_info mach_task_basic_info_data_t;
#define MACH_TASK_BASIC_INFO_COUNT \
  ((mach_msg_type_number_t)(sizeof(mach_task_basic_info_data_t) / sizeof(natural_t)))

extern "C" {
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_
kern_return_t task_info(task_name_t target_task, task_flavor_t flavor, task_info_t task_info_out,
                        mach_msg_type_number_t* task_info_outCnt);
}
