// Cancellation marks of the requests the driver holds, and the queue callbacks for stop, resume and
// cancellation in a queue.
//
// Everything here runs under the device lock at DISPATCH_LEVEL: the queue callbacks through the
// device-wide synchronisation scope, MarkCancelable/UnmarkCancelable because their callers (read DPC,
// queue callbacks, the serial purge) hold it. The framework runs cancel routines under the same lock,
// so a cancel routine never overlaps these.
//
// Ownership rule: whoever unmarks a request successfully completes it; STATUS_CANCELLED from an unmark
// means the cancel routine is about to run and will complete it.
#include "datapath.h"

NTSTATUS MarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL CancelRoutine)
{
    // The mark and the routine are recorded before the framework call and kept even when it fails,
    // so that a resume after a stop knows which routine to give back.
    PZELVIK_REQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Flags |= REQUEST_MARKED_CANCELABLE;
    requestContext->CancelRoutine = CancelRoutine;

    // STATUS_CANCELLED: the request was cancelled before it could be marked; the routine will not
    // run and the caller completes the request itself.
    return WdfRequestMarkCancelableEx(Request, CancelRoutine);
}

NTSTATUS UnmarkCancelable(WDFREQUEST Request)
{
    PZELVIK_REQUEST_CONTEXT requestContext = GetRequestContext(Request);
    if ((requestContext->Flags & REQUEST_MARKED_CANCELABLE) == 0) {
        return STATUS_SUCCESS;
    }
    requestContext->Flags &= ~(ULONG)REQUEST_MARKED_CANCELABLE;
    return WdfRequestUnmarkCancelable(Request);
}

// The framework stops a queue (power-down) or purges it (removal) while the driver owns Request:
// the current read, or a write whose transfer is in flight.
void EvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    UNREFERENCED_PARAMETER(Queue);

    // 1. A request marked cancelable is unmarked first; only reads carry a cancel routine.
    if ((ActionFlags & WdfRequestStopRequestCancelable) != 0) {
        if (GetRequestContext(Request)->CancelRoutine != NULL) {
            // STATUS_CANCELLED here leaves completion to the cancel routine; nothing else to do.
            (void)UnmarkCancelable(Request);
        }
        ActionFlags &= ~(ULONG)WdfRequestStopRequestCancelable;
    }

    if ((ActionFlags & WdfRequestStopActionPurge) != 0) {
        // 2. Purge: a write in flight on the bulk-out pipe is cancelled and completes through its
        //    completion routine. A read was never sent, so this finds nothing to cancel and the read
        //    stays current until data, a deadline or the serial purge completes it.
        (void)WdfRequestCancelSentRequest(Request);
    } else if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        // 3. Suspend: the driver keeps the request (no requeue) and lets the power-down go on.
        WdfRequestStopAcknowledge(Request, FALSE);
    }
    // 4. No other bit is looked at.
}

// The queue starts again (power-up) while the driver still owns Request.
void EvtIoResume(WDFQUEUE Queue, WDFREQUEST Request)
{
    UNREFERENCED_PARAMETER(Queue);

    // A read that stayed current through the suspend becomes cancelable again with its routine; a
    // write in flight has none and is left alone.
    PZELVIK_REQUEST_CONTEXT requestContext = GetRequestContext(Request);
    PFN_WDF_REQUEST_CANCEL cancelRoutine = requestContext->CancelRoutine;
    if (cancelRoutine == NULL) {
        return;
    }
    if (MarkCancelable(Request, cancelRoutine) == STATUS_CANCELLED) {
        // The application cancelled the read while the queue was stopped. The framework does not run
        // the routine for a request that was already cancelled when marked, and a read with no
        // deadline and no data would then never complete; run it here, under the same lock the
        // framework would have held, so the cancellation takes effect now.
        cancelRoutine(Request);
    }
}

// A request was cancelled while it waited in the default queue, ReadQueue or WriteQueue. The framework
// hands it to the driver, which completes it with its own (cancelled) status and no data.
void EvtIoCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request)
{
    UNREFERENCED_PARAMETER(Queue);
    WdfRequestCompleteWithInformation(Request, WdfRequestGetStatus(Request), 0);
}
