#include "platform/clipboard/Pasteboard.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform::clipboard {

struct Pasteboard::FetchState {
    std::mutex mutex;
    std::condition_variable changed;
    // Each setString starts a new publication; only fetches of the newest
    // one count.
    uint64_t publication = 0;
    bool fetched = false;

    void noteFetch(uint64_t of) {
        {
            std::lock_guard lock(mutex);
            if (of != publication) return;
            fetched = true;
        }
        changed.notify_all();
    }
};

namespace {

// Qt asks the data object for its bytes only when a program requests them,
// so that request is the moment the target took the text.
class FetchNotingMimeData final : public QMimeData {
public:
    FetchNotingMimeData(std::weak_ptr<Pasteboard::FetchState> state, uint64_t publication)
        : state_(std::move(state)), publication_(publication) {}

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (auto state = state_.lock()) state->noteFetch(publication_);
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    std::weak_ptr<Pasteboard::FetchState> state_;
    uint64_t publication_;
};

bool onGuiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

template <class F>
void runOnGuiThread(F&& body) {
    if (onGuiThread()) {
        body();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(body), Qt::BlockingQueuedConnection);
}

const QString secretHintFormat = QStringLiteral("x-kde-passwordManagerHint");

// On the toolkit's thread the requests are answered by this very thread:
// keep its event loop going while waiting.
template <class Done>
bool serveUntil(Done done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (done()) return true;
        if (clock.elapsed() >= timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

}  // namespace

Pasteboard::Pasteboard() : fetched_(std::make_shared<FetchState>()) {}

Pasteboard::~Pasteboard() = default;

PasteboardSnapshot Pasteboard::snapshot() {
    PasteboardSnapshot snapshot;
    runOnGuiThread([&snapshot] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
        if (!data) return;
        for (const QString& format : data->formats()) {
            // Qt's own in-process forms are made again from the real ones.
            if (format.startsWith(QStringLiteral("application/x-qt-"))) continue;
            const QByteArray bytes = data->data(format);
            if (format == secretHintFormat && bytes == "secret") snapshot.secret = true;
            if (bytes.isEmpty()) continue;
            snapshot.formats.emplace_back(format.toStdString(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    });
    if (snapshot.secret) snapshot.formats.clear();
    return snapshot;
}

std::optional<std::string> Pasteboard::string() {
    std::optional<std::string> text;
    runOnGuiThread([&text] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
        if (data && data->hasText()) text = data->text().toStdString();
    });
    return text;
}

void Pasteboard::setString(const std::string& text) {
    uint64_t publication = 0;
    {
        std::lock_guard lock(fetched_->mutex);
        publication = ++fetched_->publication;
        fetched_->fetched = false;
    }
    runOnGuiThread([this, &text, publication] {
        auto* data = new FetchNotingMimeData(fetched_, publication);
        data->setText(QString::fromStdString(text));
        QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    });
}

bool Pasteboard::waitUntilFetched(std::chrono::milliseconds timeout) {
    if (onGuiThread()) return serveUntil([this] { return isFetched(); }, timeout);
    std::unique_lock lock(fetched_->mutex);
    return fetched_->changed.wait_for(lock, timeout, [this] { return fetched_->fetched; });
}

void Pasteboard::keepServing(std::chrono::milliseconds duration) {
    if (onGuiThread()) {
        serveUntil([] { return false; }, duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

bool Pasteboard::isFetched() const {
    std::lock_guard lock(fetched_->mutex);
    return fetched_->fetched;
}

void Pasteboard::restore(const PasteboardSnapshot& snapshot) {
    runOnGuiThread([&snapshot] {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (snapshot.secret || snapshot.formats.empty()) {
            clipboard->clear(QClipboard::Clipboard);
            return;
        }
        auto* data = new QMimeData;
        for (const auto& [format, bytes] : snapshot.formats) {
            data->setData(QString::fromStdString(format),
                          QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
        }
        clipboard->setMimeData(data, QClipboard::Clipboard);
    });
}

}  // namespace platform::clipboard
