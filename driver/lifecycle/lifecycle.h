// Driver entry, device creation, USB configuration, power/file/clean-up callbacks and COM port
// publication. PnP, power and file callbacks run at PASSIVE_LEVEL without the device lock.
#pragma once

#include "../datapath/device_context.h"

// Driver entry and device creation (driver_entry.cpp, device_add.cpp).
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;
EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
[[nodiscard]] NTSTATUS InitDeviceContext(PZELVIK_DEVICE_CONTEXT Context);
[[nodiscard]] NTSTATUS CreateDpcs(PZELVIK_DEVICE_CONTEXT Context);
[[nodiscard]] NTSTATUS CreatePortTimer(PZELVIK_DEVICE_CONTEXT Context);

// USB configuration (usb_config.cpp).
EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;

// Power, file and clean-up events (power_file.cpp).
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EvtFileClose;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceCleanup;
// Self-managed I/O flush and surprise removal share this callback; the driver has nothing to do then.
void EvtDeviceNoAction(WDFDEVICE Device);

// COM port publication (port_publication.cpp). Device add and device clean-up.
[[nodiscard]] NTSTATUS PublishComPort(PZELVIK_DEVICE_CONTEXT Context);
[[nodiscard]] NTSTATUS QueryPortName(PZELVIK_DEVICE_CONTEXT Context, PUNICODE_STRING PortName);
void WithdrawComPort(PZELVIK_DEVICE_CONTEXT Context);
