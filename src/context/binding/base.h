// What velmo.idl imports from base.idl: the Windows headers already declare it all.
#ifndef VELMO_CONTEXT_BINDING_BASE_H_
#define VELMO_CONTEXT_BINDING_BASE_H_

#include <oaidl.h>

#endif  // VELMO_CONTEXT_BINDING_BASE_H_
