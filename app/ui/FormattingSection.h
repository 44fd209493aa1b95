#pragma once

#include <QFrame>
#include <memory>

#include "app/ui/FormattingSectionPresenter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace dictaro {

// The formatting settings panel of the setup window: the widgets only copy
// the presenter's state and hand it the user's actions. Its background work
// reports through the main actor, which the event loop must drain.
class ElidedLabel;

class FormattingSection : public QFrame {
public:
    explicit FormattingSection(std::shared_ptr<FormattingSectionPresenter> presenter = FormattingSectionPresenter::create(),
                               QWidget* parent = nullptr);
    ~FormattingSection() override;

    void activate() { presenter_->activate(); }
    void deactivate() { presenter_->deactivate(); }
    FormattingSectionPresenter& presenter() { return *presenter_; }

private:
    void buildUI();
    QWidget* buildAPIKeyRow();
    QWidget* buildHostRow();
    QWidget* buildOllamaSection();
    void connectActions();
    void render();

    std::shared_ptr<FormattingSectionPresenter> presenter_;
    QCheckBox* enableToggle_;
    QComboBox* providerPopup_;
    QComboBox* modelComboBox_;
    QLineEdit* apiKeyField_;
    QPushButton* getKeyButton_;
    QLineEdit* hostField_;
    ElidedLabel* statusLabel_;
    QWidget* apiKeyRow_ = nullptr;
    QWidget* hostRow_ = nullptr;
    QWidget* ollamaSection_ = nullptr;
    QLabel* daemonStatusLabel_;
    QPushButton* daemonActionButton_;
    QLabel* modelStatusLabel_;
    QPushButton* modelActionButton_;
    QProgressBar* pullProgressBar_;
    QLabel* pullStatusLabel_;
};

}  // namespace dictaro
