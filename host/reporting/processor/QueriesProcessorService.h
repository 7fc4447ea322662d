// The queries processor as the host runs it: built from its configuration node
// (QueryTranslator over the "QueryTemplates" child, connections through
// OpenStorage to its storage settings) and registered with the service client under its "Uri".
// Thread safety: call from one thread at start-up and shutdown.
#pragma once

#include "corvane/ComPtr.h"
#include "host/reporting/processor/QueriesProcessor.h"
#include "host/services/ServiceClient.h"

namespace cvn::reporting {

/// Throws HRX: the configuration's (ReadQueriesProcessorOptions) or the translator's failure. Each
/// connection a worker opens passes through wrap when it is given.
ComPtr<CComponentObject<CQueriesProcessor>> CreateQueriesProcessor(const QxNodePtr& config,
                                                                   ConnectionWrapper wrap = {});

/// CreateQueriesProcessor, then RegisterService under the configured Uri (a taken Uri: HRX 0x800700B7,
/// and the processor is shut down). Unregister and Shutdown it when the host stops.
ComPtr<CComponentObject<CQueriesProcessor>> RegisterQueriesProcessor(host::CServiceClient& client,
                                                                     const QxNodePtr& config,
                                                                     ConnectionWrapper wrap = {});

}  // namespace cvn::reporting
