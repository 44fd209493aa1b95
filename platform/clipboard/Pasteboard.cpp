#include "platform/clipboard/Pasteboard.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <xcb/xcb.h>

namespace platform::clipboard {

struct Pasteboard::FetchState {
    std::mutex mutex;
    std::condition_variable changed;
    // The X client the newest publication is for, when it is for one alone.
    std::optional<uint32_t> onlyClient;
    bool watching = false;
    bool fetched = false;

    // Whether a request of `client` for our clipboard is answered; one for
    // the data itself, from the client the text is for, is its fetch.
    bool admit(uint32_t client, bool forData) {
        bool theirs = false;
        bool fetchedNow = false;
        {
            std::lock_guard lock(mutex);
            theirs = !onlyClient || client == *onlyClient;
            fetchedNow = theirs && watching && forData && !fetched;
            if (fetchedNow) fetched = true;
        }
        if (fetchedNow) changed.notify_all();
        return theirs;
    }
};

namespace {

xcb_connection_t* toolkitConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

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

// Sees each request of another program for our clipboard before the toolkit
// answers it: the request names the requestor's window, and the top bits of a
// window's id name the X client that made it.
class Pasteboard::RequestFilter final : public QAbstractNativeEventFilter {
public:
    RequestFilter(std::shared_ptr<FetchState> state, xcb_connection_t* connection)
        : state_(std::move(state)),
          connection_(connection),
          clientMask_(~xcb_get_setup(connection)->resource_id_mask),
          clipboard_(internAtom(connection, "CLIPBOARD")),
          targets_(internAtom(connection, "TARGETS")),
          timestamp_(internAtom(connection, "TIMESTAMP")) {}

    uint32_t clientOf(x11::WindowId window) const { return static_cast<uint32_t>(window) & clientMask_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) return false;
        const auto* request = reinterpret_cast<const xcb_selection_request_event_t*>(event);
        if (request->selection != clipboard_) return false;
        const bool forData = request->target != targets_ && request->target != timestamp_;
        if (state_->admit(clientOf(request->requestor), forData)) return false;
        refuse(*request);
        return true;
    }

private:
    void refuse(const xcb_selection_request_event_t& request) {
        xcb_selection_notify_event_t notify{};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request.time;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.property = XCB_ATOM_NONE;
        // The server takes every event as 32 bytes.
        char wire[32] = {};
        std::memcpy(wire, &notify, std::min(sizeof(notify), sizeof(wire)));
        xcb_send_event(connection_, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, wire);
        xcb_flush(connection_);
    }

    std::shared_ptr<FetchState> state_;
    xcb_connection_t* connection_;
    uint32_t clientMask_;
    xcb_atom_t clipboard_;
    xcb_atom_t targets_;
    xcb_atom_t timestamp_;
};

Pasteboard::Pasteboard() : fetched_(std::make_shared<FetchState>()) {
    runOnGuiThread([this] {
        if (xcb_connection_t* connection = toolkitConnection()) {
            filter_ = new RequestFilter(fetched_, connection);
            QCoreApplication::instance()->installNativeEventFilter(filter_);
        }
    });
}

Pasteboard::~Pasteboard() {
    runOnGuiThread([this] { delete filter_; });
}

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
    publish(text, std::nullopt);
}

void Pasteboard::setStringFor(const std::string& text, x11::WindowId window) {
    // A window we do not know leaves the text to whoever asks first.
    const bool known = filter_ && window != 0;
    publish(text, known ? std::optional<uint32_t>(filter_->clientOf(window)) : std::nullopt);
}

void Pasteboard::publish(const std::string& text, std::optional<uint32_t> onlyClient) {
    // Requests are answered on the toolkit's thread: changing whom they are
    // answered for there keeps every request on one side of the change.
    runOnGuiThread([this, &text, onlyClient] {
        {
            std::lock_guard lock(fetched_->mutex);
            fetched_->onlyClient = onlyClient;
            fetched_->watching = false;
            fetched_->fetched = false;
        }
        auto* data = new QMimeData;
        data->setText(QString::fromStdString(text));
        QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    });
}

void Pasteboard::watchForFetch() {
    std::lock_guard lock(fetched_->mutex);
    fetched_->watching = true;
    fetched_->fetched = false;
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
    runOnGuiThread([this, &snapshot] {
        {
            std::lock_guard lock(fetched_->mutex);
            fetched_->onlyClient.reset();
            fetched_->watching = false;
        }
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
