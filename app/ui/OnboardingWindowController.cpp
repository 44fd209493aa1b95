#include "app/ui/OnboardingWindowController.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <exception>

#include "app/dictation/Log.h"
#include "app/ui/ButtonTitle.h"
#include "app/ui/FormattingSection.h"
#include "app/ui/MicInputSection.h"
#include "app/ui/OwnWindow.h"
#include "app/ui/StatusRow.h"
#include "app/ui/Theme.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {
namespace {

constexpr const char* onboardingShownKey = "OnboardingShown";

QString q(const std::string& text) { return QString::fromStdString(text); }

QColor badgeColour(PermissionRowState::BadgeColour colour) {
    return colour == PermissionRowState::BadgeColour::green ? QColor(52, 199, 89) : QColor(255, 149, 0);
}

void apply(StatusRow& row, const PermissionRowState& state) {
    row.setBadge(q(state.badge), badgeColour(state.badgeColour), buttonTitle(state.actionTitle.value_or("")));
}

}  // namespace

OnboardingWindowController::OnboardingWindowController(PermissionAccess permissions,
                                                       std::shared_ptr<platform::UserDefaults> defaults,
                                                       MicInputSectionPresenter::DeviceSource inputDevices,
                                                       ProviderProbe providerProbe)
    : permissions_(std::move(permissions)),
      defaults_(std::move(defaults)),
      micRow_(new StatusRow("audio-input-microphone", QString::fromUtf8("🎙"),
                            q(SetupWindowPresenter::microphoneTitle()), q(SetupWindowPresenter::microphoneSubtitle()))),
      axRow_(new StatusRow("preferences-desktop-accessibility", QString::fromUtf8("♿"),
                           q(SetupWindowPresenter::accessibilityTitle()),
                           q(SetupWindowPresenter::accessibilitySubtitle()))),
      micInputSection_(
          new MicInputSection(std::make_shared<MicInputSectionPresenter>(defaults_, std::move(inputDevices)))),
      formattingSection_(
          new FormattingSection(FormattingSectionPresenter::create(defaults_, std::move(providerProbe)))),
      primaryButton_(new QPushButton(buttonTitle(QStringLiteral("Get Started")))) {
    markEveryWindowAsOurs();
    setWindowTitle(q(SetupWindowPresenter::windowTitle()));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(580, 720);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Theme::ink());
    colours.setColor(QPalette::WindowText, Theme::paper());
    colours.setColor(QPalette::Base, Theme::elev());
    colours.setColor(QPalette::Text, Theme::paper());
    colours.setColor(QPalette::Button, Theme::elev());
    colours.setColor(QPalette::ButtonText, Theme::paper());
    setPalette(colours);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { refreshUI(); });
    buildUI();
    refreshUI();
}

OnboardingWindowController::~OnboardingWindowController() = default;

void OnboardingWindowController::buildUI() {
    connect(micRow_->actionButton(), &QPushButton::clicked, this, [this] { actOnMic(); });
    connect(axRow_->actionButton(), &QPushButton::clicked, this, [this] { actOnAccessibility(); });

    auto* stack = new QVBoxLayout;
    stack->setContentsMargins(24, 0, 24, 16);
    stack->setSpacing(10);
    QLabel* introduction = Theme::label(q(SetupWindowPresenter::introduction()), 13, Theme::muted());
    introduction->setWordWrap(true);
    stack->addWidget(Theme::label(q(SetupWindowPresenter::heading()), 22, Theme::paper(), QFont::DemiBold));
    stack->addSpacing(6 - 10);
    stack->addWidget(introduction);
    stack->addSpacing(18 - 10);
    stack->addWidget(micRow_);
    stack->addWidget(axRow_);
    stack->addSpacing(16 - 10);
    stack->addWidget(micInputSection_);
    stack->addSpacing(16 - 10);
    stack->addWidget(formattingSection_);
    stack->addStretch(1);

    auto* document = new QWidget;
    document->setLayout(stack);
    auto* scroll = new QScrollArea;
    scroll->setWidget(document);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }");

    auto* separator = new QFrame;
    separator->setFrameShape(QFrame::HLine);
    separator->setFixedHeight(1);
    separator->setStyleSheet(QString("background: %1; border: none;").arg(Theme::rule().name()));

    auto* repair = new QPushButton(buttonTitle(SetupWindowPresenter::repairLink()));
    repair->setFlat(true);
    repair->setAutoDefault(false);
    repair->setCursor(Qt::PointingHandCursor);
    QFont linkFont = Theme::sansFont(11);
    linkFont.setUnderline(true);
    repair->setFont(linkFont);
    repair->setStyleSheet(QString("QPushButton { color: %1; border: none; background: transparent; padding: 0; }")
                              .arg(Theme::ember().name()));
    connect(repair, &QPushButton::clicked, this, [this] { resetPermissions(); });

    primaryButton_->setAutoDefault(false);
    primaryButton_->setMinimumHeight(32);
    primaryButton_->setStyleSheet(
        QString("QPushButton { background: %1; color: %2; border: none; border-radius: 6px; padding: 6px 18px; }"
                "QPushButton:disabled { background: %3; color: %4; }")
            .arg(Theme::ember().name(), Theme::ink().name(), Theme::rule().name(), Theme::muted().name()));
    connect(primaryButton_, &QPushButton::clicked, this, [this] { finish(); });

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(24, 12, 24, 16);
    footer->addWidget(repair, 0, Qt::AlignVCenter);
    footer->addStretch(1);
    footer->addWidget(primaryButton_, 0, Qt::AlignVCenter);

    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(0, 24, 0, 0);
    content->setSpacing(0);
    content->addWidget(scroll, 1);
    content->addWidget(separator);
    content->addLayout(footer);
}

void OnboardingWindowController::refreshUI() {
    const MicrophoneAuthorization microphone = permissions_.microphone();
    // An explanation given in one state is stale in the next.
    if (shownMicrophone_ && *shownMicrophone_ != microphone) {
        micRow_->subtitleLabel()->setText(q(SetupWindowPresenter::microphoneSubtitle()));
    }
    shownMicrophone_ = microphone;
    const SetupWindowState state = SetupWindowPresenter::state(microphone, permissions_.accessibilityTrusted());
    apply(*micRow_, state.microphone);
    apply(*axRow_, state.accessibility);
    primaryButton_->setEnabled(state.primaryEnabled);
    primaryButton_->setText(buttonTitle(state.primaryTitle));
}

void OnboardingWindowController::present() {
    if (onVisibilityChanged) onVisibilityChanged(true);
    startPolling();
    refreshUI();
    micInputSection_->reloadDevices();
    formattingSection_->activate();
    show();
    raise();
    activateWindow();
}

void OnboardingWindowController::startPolling() { pollTimer_.start(pollIntervalMs); }

void OnboardingWindowController::stopPolling() {
    pollTimer_.stop();
    formattingSection_->deactivate();
}

void OnboardingWindowController::actOnMic() {
    switch (SetupWindowPresenter::microphoneAction(permissions_.microphone())) {
        case MicrophoneAction::none: return;
        case MicrophoneAction::request: {
            QPointer<OnboardingWindowController> self(this);
            permissions_.requestMicrophone([self](bool) {
                if (self) self->refreshUI();
            });
            return;
        }
        case MicrophoneAction::openSettings:
            if (!permissions_.openMicrophoneSettings()) {
                micRow_->subtitleLabel()->setText(q(SetupWindowPresenter::noMicrophoneSettings()));
            }
            return;
    }
}

void OnboardingWindowController::actOnAccessibility() {
    if (permissions_.accessibilityTrusted()) {
        refreshUI();
        return;
    }
    permissions_.requestAccessibility();
}

void OnboardingWindowController::resetPermissions() {
    QMessageBox alert(QMessageBox::Warning, q(SetupWindowPresenter::resetQuestion()),
                      q(SetupWindowPresenter::resetQuestion()), QMessageBox::NoButton, this);
    alert.setInformativeText(q(SetupWindowPresenter::resetExplanation()));
    QPushButton* reset = alert.addButton(buttonTitle(SetupWindowPresenter::resetConfirm()), QMessageBox::AcceptRole);
    alert.addButton(buttonTitle(SetupWindowPresenter::resetCancel()), QMessageBox::RejectRole);
    alert.exec();
    if (alert.clickedButton() != reset) return;
    stopPolling();
    if (!permissions_.relaunch()) {
        Log::error("app", "could not relaunch Dictaro");
        startPolling();
        formattingSection_->activate();
    }
}

void OnboardingWindowController::markShown() {
    try {
        defaults_->set(onboardingShownKey, platform::JSONNumber::boolean(true));
    } catch (const std::exception& error) {
        Log::error("app", std::string("could not save the setup state: ") + error.what());
    }
}

void OnboardingWindowController::finish() {
    markShown();
    stopPolling();
    close();
}

void OnboardingWindowController::keyPressEvent(QKeyEvent* event) {
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (isReturn && event->modifiers() == Qt::NoModifier) {
        if (primaryButton_->isEnabled()) primaryButton_->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void OnboardingWindowController::closeEvent(QCloseEvent* event) {
    stopPolling();
    if (permissions_.bothGranted()) markShown();
    event->accept();
    if (onVisibilityChanged) onVisibilityChanged(false);
    if (onDone) onDone();
}

}  // namespace dictaro
