#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

// Splits fuzz input into count strings at 0x01 bytes (missing ones are
// empty), each decoded as UTF-8, so the corpus files stay readable text.
inline QStringList fuzzFields(const uint8_t *data, size_t size, int count)
{
    QStringList fields =
        QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)).split(QChar(0x01));
    while (fields.size() < count)
        fields.append(QString());
    if (fields.size() > count)
        fields = fields.mid(0, count - 1) << fields.mid(count - 1).join(QChar(0x01));
    return fields;
}

#define FUZZ_ASSERT(condition)                                                                               \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            qFatal("fuzz property failed: %s (%s:%d)", #condition, __FILE__, __LINE__);                      \
        }                                                                                                    \
    } while (false)
