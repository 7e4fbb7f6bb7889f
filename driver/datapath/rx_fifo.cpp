// Receive FIFO operations. Constant time, no allocation; callers serialise (device lock).
#include "rx_fifo.h"

void FifoInit(PRX_FIFO Fifo, PUCHAR Storage, ULONG Size)
{
    Fifo->Start = Storage;
    Fifo->Write = Storage;
    Fifo->Read = Storage;
    Fifo->End = Storage + Size;
}

PUCHAR FifoNext(const RX_FIFO* Fifo, PUCHAR Position)
{
    PUCHAR next = Position + 1;
    return next < Fifo->End ? next : Fifo->Start;
}

PUCHAR FifoReadPosition(const RX_FIFO* Fifo) { return Fifo->Read; }

PUCHAR FifoWritePosition(const RX_FIFO* Fifo) { return Fifo->Write; }

BOOLEAN FifoIsEmpty(const RX_FIFO* Fifo) { return Fifo->Write == Fifo->Read; }

BOOLEAN FifoIsFull(const RX_FIFO* Fifo) { return FifoNext(Fifo, Fifo->Write) == Fifo->Read; }

ULONG FifoSize(const RX_FIFO* Fifo) { return (ULONG)(Fifo->End - Fifo->Start); }

ULONG FifoCount(const RX_FIFO* Fifo)
{
    if (Fifo->Read <= Fifo->Write) {
        return (ULONG)(Fifo->Write - Fifo->Read);
    }
    return (ULONG)((Fifo->End - Fifo->Read) + (Fifo->Write - Fifo->Start));
}

PRX_FIFO FifoReset(PRX_FIFO Fifo)
{
    Fifo->Write = Fifo->Start;
    Fifo->Read = Fifo->Start;
    return Fifo;
}

BOOLEAN FifoPut(PRX_FIFO Fifo, UCHAR Byte)
{
    if (FifoIsFull(Fifo)) {
        return FALSE;
    }
    *Fifo->Write = Byte;
    Fifo->Write = FifoNext(Fifo, Fifo->Write);
    return TRUE;
}

BOOLEAN FifoGet(PRX_FIFO Fifo, PUCHAR Byte)
{
    if (FifoIsEmpty(Fifo)) {
        return FALSE;
    }
    *Byte = *Fifo->Read;
    Fifo->Read = FifoNext(Fifo, Fifo->Read);
    return TRUE;
}

ULONG FifoFillPercent(const RX_FIFO* Fifo)
{
    // The product is formed in 64 bits: a 32-bit count * 100 would wrap for rings above 42,949,672
    // bytes, and the configured size is not bounded. A ring without storage counts as full, so a
    // caller never divides by zero and never keeps feeding a ring that cannot take a byte.
    ULONG size = FifoSize(Fifo);
    if (size == 0) {
        return 100;
    }
    return (ULONG)(((ULONGLONG)FifoCount(Fifo) * 100) / size);
}
