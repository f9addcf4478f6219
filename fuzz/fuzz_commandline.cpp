// The address from Updater's command line: whatever the arguments, it is
// empty or exactly one argument's value, and the last option wins.
#include "commandline.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString prefix = QStringLiteral("--url=");
    const QString shortOption = QStringLiteral("-u");

    QStringList arguments =
        QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)).split(QChar(0x01));
    arguments.prepend(QStringLiteral("Updater"));
    const QString address = parseUrl(arguments);

    // Every value the scan could take, in order.
    QStringList candidates;
    bool anyShortOption = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == shortOption && i + 1 < arguments.size()) {
            candidates << arguments[i + 1];
            anyShortOption = true;
        }
        if (arguments[i].startsWith(prefix))
            candidates << arguments[i].mid(prefix.size());
    }
    if (candidates.isEmpty())
        FUZZ_ASSERT(address.isEmpty());
    else
        FUZZ_ASSERT(address.isEmpty() ? candidates.contains(QString()) : candidates.contains(address));

    // Without "-u", the value of the last "--url=" comes through whole.
    if (!anyShortOption) {
        for (qsizetype i = arguments.size() - 1; i >= 1; --i) {
            if (arguments[i].startsWith(prefix)) {
                FUZZ_ASSERT(address == arguments[i].mid(prefix.size()));
                break;
            }
        }
    }
    return 0;
}
