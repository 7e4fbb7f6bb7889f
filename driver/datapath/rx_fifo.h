// Receive FIFO: a byte ring between bulk-in reception (the only producer) and read servicing (the
// main consumer). One slot is always kept free, so a ring of N bytes holds at most N - 1.
//
// The ring has no lock, allocates nothing and calls no framework service: every change of Write or
// Read happens under the device lock while reception runs (see reception.cpp and read.cpp).
#pragma once

#include <ntddk.h>

typedef struct _RX_FIFO {
    PUCHAR Start;  // first byte of the storage
    PUCHAR Write;  // slot where the next received byte is stored
    PUCHAR Read;   // oldest byte not yet taken
    PUCHAR End;    // one past the last byte of the storage
} RX_FIFO, *PRX_FIFO;

void FifoInit(PRX_FIFO Fifo, PUCHAR Storage, ULONG Size);
PUCHAR FifoNext(const RX_FIFO* Fifo, PUCHAR Position);
PUCHAR FifoReadPosition(const RX_FIFO* Fifo);
PUCHAR FifoWritePosition(const RX_FIFO* Fifo);
BOOLEAN FifoIsEmpty(const RX_FIFO* Fifo);
BOOLEAN FifoIsFull(const RX_FIFO* Fifo);
ULONG FifoSize(const RX_FIFO* Fifo);
ULONG FifoCount(const RX_FIFO* Fifo);
PRX_FIFO FifoReset(PRX_FIFO Fifo);
BOOLEAN FifoPut(PRX_FIFO Fifo, UCHAR Byte);
BOOLEAN FifoGet(PRX_FIFO Fifo, PUCHAR Byte);

// Fill level in whole percent (count * 100 / size, truncated). Reception pauses at 50 and raises
// SERIAL_EV_RX80FULL at 80; read servicing resumes reception below 50.
ULONG FifoFillPercent(const RX_FIFO* Fifo);
