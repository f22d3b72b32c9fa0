// The process-wide handles the add-on's init calls fill, and the context each belongs to.
#pragma once

#include "qel.h"

namespace qel::telemetry {

// Runs the add-on's init for a new context of ctx->is_metrics's kind, handing it the kind's
// current handle to fill, and publishes the handle it leaves. Returns the init's result.
int init_addon_for(qel_metrics_trace_t *ctx);

// The handle that the add-on's init last filled for `ctx` may lead the add-on back to the
// record: when `ctx` is released, that handle is withdrawn (spans and exports of its kind stop
// until the next create) instead of leaving the add-on a released record.
void forget_handle_owner(qel_metrics_trace_t *ctx);

}  // namespace qel::telemetry
