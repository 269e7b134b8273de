// Pool routines: the only kernel services the JPEG decoder uses.
#pragma once

#include "platform/nt_types.h"

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, NT_CALLSITE);
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, NT_CALLSITE);
VOID ExFreePool(PVOID P, NT_CALLSITE);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag, NT_CALLSITE);

