// The process-wide handles the add-on's init calls fill, and the contexts each may belong to.
#pragma once

#include "qel.h"

namespace qel::telemetry {

// Runs the add-on's init for a new context of ctx->is_metrics's kind, handing it the kind's
// current handle to fill, and publishes the handle it leaves. Returns the init's result.
int init_addon_for(qel_metrics_trace_t *ctx);

// Called when `ctx` is released. The handle that the add-on's init last filled for it may lead
// the add-on back to the record: the newest context of its kind still open takes the handle
// over (the add-on's init runs for it again), or, with none left, the handle is withdrawn.
void forget_handle_owner(qel_metrics_trace_t *ctx);

}  // namespace qel::telemetry
