#pragma once

#include <QMimeData>

#include "platform/clipboard/Pasteboard.h"

namespace platform::clipboard {

// A data object that offers the snapshot's formats, for publishing them.
inline QMimeData* mimeDataOf(const PasteboardSnapshot& snapshot) {
    auto* data = new QMimeData;
    for (const auto& [format, bytes] : snapshot.formats) {
        data->setData(QString::fromStdString(format),
                      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    }
    return data;
}

}  // namespace platform::clipboard
