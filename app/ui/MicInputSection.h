#pragma once

#include <QFrame>
#include <memory>

#include "app/ui/MicInputSectionPresenter.h"

class QComboBox;
class QLabel;

namespace dictaro {

// The microphone chooser of the setup window: a menu of the inputs headed by
// the default input, and a warning when the chosen one has more than two
// channels. The widgets only copy the presenter's state.
class MicInputSection : public QFrame {
public:
    explicit MicInputSection(std::shared_ptr<MicInputSectionPresenter> presenter, QWidget* parent = nullptr);

    // Lists the devices afresh; the setup window calls it on every showing.
    void reloadDevices();

    QComboBox* popup() const { return popup_; }
    QLabel* warningLabel() const { return warningLabel_; }

private:
    void buildUI();
    void deviceChanged();
    void refreshWarning();

    std::shared_ptr<MicInputSectionPresenter> presenter_;
    QComboBox* popup_;
    QLabel* warningLabel_;
};

}  // namespace dictaro
