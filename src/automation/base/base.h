// What velmo.idl imports from base.idl: the Windows headers already declare it all.
#ifndef VELMO_AUTOMATION_BASE_BASE_H_
#define VELMO_AUTOMATION_BASE_BASE_H_

#include <oaidl.h>

#endif  // VELMO_AUTOMATION_BASE_BASE_H_
