// Safe string formatting; the calls are declared with the other kernel basics.
#pragma once
#include <ntddk.h>
