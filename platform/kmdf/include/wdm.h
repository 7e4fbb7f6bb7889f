// Kernel basics; same declarations as ntddk.h.
#pragma once
#include <ntddk.h>
