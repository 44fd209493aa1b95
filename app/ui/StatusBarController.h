#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace dictaro {

// The tray icon (a microphone) and its menu: start a recording, open the
// setup window, repeat the practice run, open the log, quit. While Alt is
// held the menu offers to show the log in the file manager in place of
// opening it.
class StatusBarController final : public QObject {
public:
    StatusBarController();
    ~StatusBarController() override;

    std::function<void()> onToggleRecording;
    std::function<void()> onOpenSetup;
    std::function<void()> onRunPractice;

    // Creates the tray icon and its menu; once, after the callbacks are set.
    void setup();

    QMenu* menu() const { return menu_.get(); }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildMenu();
    void showAlternates(bool altHeld);
    void perform(std::size_t entry);

    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> menu_;
    std::vector<QAction*> actions_;
};

}  // namespace dictaro
