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
#include <cstring>
#include <mutex>
#include <thread>
#include <xcb/xcb.h>

#include "platform/clipboard/SnapshotMimeData.h"
#include "platform/clipboard/ToolkitSelection.h"

namespace platform::clipboard {

struct Pasteboard::State {
    std::mutex mutex;
    std::condition_variable changed;
    // Once closed, nothing is asked of the toolkit's thread any more.
    bool closed = false;
    // The bits of a window's id that name the X client that made it.
    uint32_t clientMask = 0;
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

bool isToolkitThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
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

// Runs `body` on the toolkit's thread and waits for it to end; false, without
// running it, once the pasteboard is closed. A call that waits when the
// pasteboard closes gives up, and its body will never run: the toolkit's loop
// may have ended for good.
template <class F>
bool Pasteboard::runOnToolkitThread(F&& body) {
    if (isToolkitThread()) {
        if (isClosed()) return false;
        body();
        return true;
    }
    enum class Progress { queued, running, done, abandoned };
    auto progress = std::make_shared<Progress>(Progress::queued);
    std::unique_lock lock(state_->mutex);
    if (state_->closed) return false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [state = state_, progress, &body] {
            {
                std::lock_guard running(state->mutex);
                if (*progress == Progress::abandoned) return;
                *progress = Progress::running;
            }
            body();
            {
                std::lock_guard done(state->mutex);
                *progress = Progress::done;
            }
            state->changed.notify_all();
        },
        Qt::QueuedConnection);
    state_->changed.wait(
        lock, [&] { return *progress == Progress::done || (state_->closed && *progress == Progress::queued); });
    if (*progress == Progress::done) return true;
    *progress = Progress::abandoned;
    return false;
}

// Sees each request of another program for our clipboard before the toolkit
// answers it: the request names the requestor's window, and the top bits of a
// window's id name the X client that made it.
class Pasteboard::RequestFilter final : public QAbstractNativeEventFilter {
public:
    RequestFilter(std::shared_ptr<State> state, xcb_connection_t* connection)
        : state_(std::move(state)),
          connection_(connection),
          clipboard_(internAtom(connection, "CLIPBOARD")),
          targets_(internAtom(connection, "TARGETS")),
          timestamp_(internAtom(connection, "TIMESTAMP")) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST) return false;
        const auto* request = reinterpret_cast<const xcb_selection_request_event_t*>(event);
        if (request->selection != clipboard_) return false;
        const bool forData = request->target != targets_ && request->target != timestamp_;
        if (state_->admit(request->requestor & state_->clientMask, forData)) return false;
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

    std::shared_ptr<State> state_;
    xcb_connection_t* connection_;
    xcb_atom_t clipboard_;
    xcb_atom_t targets_;
    xcb_atom_t timestamp_;
};

Pasteboard::Pasteboard() : state_(std::make_shared<State>()) {
    runOnToolkitThread([this] {
        if (xcb_connection_t* connection = toolkitConnection()) {
            state_->clientMask = ~xcb_get_setup(connection)->resource_id_mask;
            filter_ = new RequestFilter(state_, connection);
            QCoreApplication::instance()->installNativeEventFilter(filter_);
        }
    });
}

Pasteboard::~Pasteboard() {
    close();
}

void Pasteboard::close() {
    runOnToolkitThread([this] {
        delete filter_;
        filter_ = nullptr;
        {
            std::lock_guard lock(state_->mutex);
            state_->closed = true;
        }
        state_->changed.notify_all();
    });
}

bool Pasteboard::isClosed() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed;
}

PasteboardSnapshot Pasteboard::snapshot() {
    PasteboardSnapshot snapshot;
    runOnToolkitThread([&snapshot] {
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
    runOnToolkitThread([&text] {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
        if (data && data->hasText()) text = data->text().toStdString();
    });
    return text;
}

void Pasteboard::setString(const std::string& text) {
    publish(text, 0);
}

void Pasteboard::setStringFor(const std::string& text, x11::WindowId window) {
    publish(text, window);
}

void Pasteboard::publish(const std::string& text, x11::WindowId forWindow) {
    // Requests are answered on the toolkit's thread: changing whom they are
    // answered for there keeps every request on one side of the change.
    runOnToolkitThread([this, &text, forWindow] {
        {
            std::lock_guard lock(state_->mutex);
            // Without requests to see, or a window to know the program by,
            // the text is for whoever asks first.
            const bool known = filter_ && forWindow != 0;
            state_->onlyClient = known ? std::optional<uint32_t>(forWindow & state_->clientMask) : std::nullopt;
            state_->watching = false;
            state_->fetched = false;
        }
        auto* data = new QMimeData;
        data->setText(QString::fromStdString(text));
        QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
    });
}

void Pasteboard::watchForFetch() {
    std::lock_guard lock(state_->mutex);
    state_->watching = true;
    state_->fetched = false;
}

bool Pasteboard::waitUntilFetched(std::chrono::milliseconds timeout) {
    if (isToolkitThread()) {
        return serveUntil([this] { return isFetched() || isClosed(); }, timeout) && isFetched();
    }
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, timeout, [this] { return state_->fetched || state_->closed; });
    return state_->fetched;
}

void Pasteboard::keepServing(std::chrono::milliseconds duration) {
    if (isToolkitThread()) {
        serveUntil([] { return false; }, duration);
    } else {
        std::this_thread::sleep_for(duration);
    }
}

bool Pasteboard::isFetched() const {
    std::lock_guard lock(state_->mutex);
    return state_->fetched;
}

void Pasteboard::restore(const PasteboardSnapshot& snapshot) {
    runOnToolkitThread([this, &snapshot] {
        {
            std::lock_guard lock(state_->mutex);
            state_->onlyClient.reset();
            state_->watching = false;
        }
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (snapshot.secret || snapshot.formats.empty()) {
            clipboard->clear(QClipboard::Clipboard);
            return;
        }
        clipboard->setMimeData(mimeDataOf(snapshot), QClipboard::Clipboard);
    });
}

void Pasteboard::outliveExit(const std::function<bool(const PasteboardSnapshot&)>& startKeeper,
                             std::chrono::milliseconds timeout) {
    if (!isToolkitThread() || isClosed() || !filter_ || !startKeeper) return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard->ownsClipboard()) return;
    {
        // What a paste cut short meant for its target alone is everyone's now.
        std::lock_guard lock(state_->mutex);
        state_->onlyClient.reset();
    }
    // A clipboard manager is handed the clipboard by the toolkit itself, as
    // this process ends.
    if (selectionOwner("CLIPBOARD_MANAGER") != XCB_WINDOW_NONE) return;
    const PasteboardSnapshot contents = snapshot();
    if (contents.formats.empty() || !startKeeper(contents)) return;
    serveUntil([clipboard] { return !clipboard->ownsClipboard(); }, timeout);
}

}  // namespace platform::clipboard
