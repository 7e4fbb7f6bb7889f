// The I/O manager's view of an application request (an IRP): its buffers and the operation the
// application observes.
#pragma once

#include "device.h"

#include <kmdf_host/host.h>

namespace kmdf {

struct IoPacket {
  std::uint64_t sequence = 0;
  UCHAR majorFunction = IRP_MJ_READ;
  ULONG ioControlCode = 0;
  // The system buffer (buffered I/O): a read's output, a write's input, a control code's input and
  // output sharing one buffer of max(input, output) bytes.
  std::vector<std::uint8_t> systemBuffer;
  std::size_t inputLength = 0;
  std::size_t outputLength = 0;
  std::shared_ptr<kmdf_host::IoOperation> operation;
  kmdf_host::FileHandle file = 0;
  FxFileObject* fileObject = nullptr;
  FxDevice* device = nullptr;
  bool cancelled = false;
  bool completed = false;
  FxRequest* request = nullptr;  // the framework request while it exists
};

// Completes the packet to the application (copies the output, records the completion, and lets a
// closing handle proceed). A second completion is reported.
void CompletePacket(IoPacket* packet, NTSTATUS status, ULONG_PTR information);

}  // namespace kmdf
