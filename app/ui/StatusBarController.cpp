#include "app/ui/StatusBarController.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "app/dictation/Log.h"
#include "app/ui/ButtonTitle.h"
#include "app/ui/OwnWindow.h"
#include "app/ui/StatusMenuPresenter.h"
#include "platform/concurrency/Task.h"
#include "platform/desktop/FileManager.h"
#include "platform/process/ChildProcess.h"

namespace dictaro {
namespace {

// The desktop's microphone icon, else the microphone emoji drawn on a
// transparent square, so the tray never shows an empty slot.
QIcon microphoneIcon() {
    QIcon themed = QIcon::fromTheme("audio-input-microphone");
    if (!themed.isNull()) return themed;
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setPixelSize(48);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QString::fromUtf8("🎙"));
    return QIcon(pixmap);
}

void openWithDesktop(const std::filesystem::path& path) {
    if (!platform::ChildProcess::spawnDetached({"xdg-open", path.string()})) {
        Log::error("app", "could not start xdg-open for " + path.string());
    }
}

// The log is selected in the file manager once it exists; before that, or
// when no file manager answers, its folder is opened instead. The bus may
// have to start the file manager first, so the menu does not wait for it.
void revealWithDesktop(const std::filesystem::path& logFile) {
    if (StatusMenuPresenter::logsTarget(logFile) != logFile) {
        openWithDesktop(logFile.parent_path());
        return;
    }
    platform::Task<void>([logFile] {
        try {
            platform::desktop::showItem(logFile);
        } catch (const platform::desktop::FileManagerError& error) {
            Log::error("app", std::string("the file manager did not show the log: ") + error.what());
            openWithDesktop(logFile.parent_path());
        }
    });
}

}  // namespace

StatusBarController::StatusBarController() { markEveryWindowAsOurs(); }
StatusBarController::~StatusBarController() = default;

void StatusBarController::setup() {
    statusItem_ = std::make_unique<QSystemTrayIcon>(microphoneIcon());
    statusItem_->setToolTip("Dictaro");
    rebuildMenu();
    statusItem_->show();
}

void StatusBarController::rebuildMenu() {
    menu_ = std::make_unique<QMenu>();
    actions_.clear();
    const auto& entries = StatusMenuPresenter::entries();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const StatusMenuEntry& entry = entries[index];
        QAction* action = entry.action ? menu_->addAction(buttonTitle(entry.title)) : menu_->addSeparator();
        if (!entry.shortcut.empty()) action->setShortcut(QKeySequence(QString::fromStdString(entry.shortcut)));
        if (entry.action) connect(action, &QAction::triggered, this, [this, index] { perform(index); });
        actions_.push_back(action);
    }
    // Alt is read when the menu opens and followed while it is open.
    connect(menu_.get(), &QMenu::aboutToShow, this,
            [this] { showAlternates(QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier); });
    menu_->installEventFilter(this);
    showAlternates(false);
    if (statusItem_) statusItem_->setContextMenu(menu_.get());
}

bool StatusBarController::eventFilter(QObject* watched, QEvent* event) {
    const bool isKey = event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease;
    if (watched != menu_.get() || !isKey || static_cast<QKeyEvent*>(event)->key() != Qt::Key_Alt) return false;
    showAlternates(event->type() == QEvent::KeyPress);
    // The menu would close on Alt, taking it for a step of menu-bar navigation.
    return true;
}

void StatusBarController::showAlternates(bool altHeld) {
    for (std::size_t index = 0; index < actions_.size(); ++index) {
        actions_[index]->setVisible(StatusMenuPresenter::isShown(index, altHeld));
    }
}

void StatusBarController::perform(std::size_t entry) {
    const auto run = [](const std::function<void()>& callback) {
        if (callback) callback();
    };
    switch (*StatusMenuPresenter::entries().at(entry).action) {
        case StatusMenuAction::toggleRecording: run(onToggleRecording); break;
        case StatusMenuAction::openSetup: run(onOpenSetup); break;
        case StatusMenuAction::runPractice: run(onRunPractice); break;
        case StatusMenuAction::viewLogs: openWithDesktop(StatusMenuPresenter::logsTarget(Log::fileURL())); break;
        case StatusMenuAction::revealLogs: revealWithDesktop(Log::fileURL()); break;
        case StatusMenuAction::quitApp: QApplication::quit(); break;
    }
}

}  // namespace dictaro
