#include "BVApi/Networking/BVApiExchangeSummary.h"

#include "BVApi/Networking/BVNetworkSettings.h"
#include "app/Logging/BVLogging.h"
#include "platform/CallStack.h"

void BVApiExchangeSummary::logRequest() const {
    BVLog("%@ request #%@ with endpoint \"%@\", params %@}", method, uid, url, parameters);
    if (BVNetworkSettings::current().logCallStacks)
        BVLog("   :: %@", bv::currentCallStack());
}
