#include "dicom/Network.h"

#include <QByteArray>
#include <QtGlobal>

#include <mutex>

namespace dicom {

void prepareNetwork()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The toolkit reads this for every association it makes or accepts.
        if (!qEnvironmentVariableIsSet("TCP_NODELAY"))
            qputenv("TCP_NODELAY", QByteArrayLiteral("1"));
    });
}

} // namespace dicom
