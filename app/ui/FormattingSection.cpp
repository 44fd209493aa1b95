#include "app/ui/FormattingSection.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/APIKeyWriter.h"
#include "app/ui/ButtonTitle.h"
#include "app/ui/ElidedLabel.h"
#include "app/ui/Theme.h"

namespace dictaro {

namespace {

constexpr int kFieldWidth = 280;
constexpr int kRowLabelWidth = 80;
constexpr int kProgressSteps = 1000;

QString qt(const std::string& text) { return QString::fromStdString(text); }

// The desktop's signal colours, chosen to read on the dark surface.
QColor toneColour(StatusTone tone) {
    switch (tone) {
        case StatusTone::paper: return Theme::paper();
        case StatusTone::muted: return Theme::muted();
        case StatusTone::green: return QColor(48, 209, 88);
        case StatusTone::red: return QColor(255, 69, 58);
        case StatusTone::orange: return QColor(255, 159, 10);
    }
    return Theme::paper();
}

void setColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget.setPalette(palette);
}

QLabel* rowLabel(const QString& text) {
    QLabel* result = Theme::label(text, 12, Theme::muted(), QFont::Medium);
    result->setFixedWidth(kRowLabelWidth);
    return result;
}

QWidget* horizontal(std::initializer_list<QWidget*> views, Qt::Alignment alignment = Qt::AlignBaseline) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    for (QWidget* view : views) layout->addWidget(view, 0, alignment);
    layout->addStretch();
    return row;
}

void showStatus(QLabel& label, const StatusText& status) {
    label.setText(qt(status.text));
    setColour(label, toneColour(status.tone));
}

void showStatus(ElidedLabel& label, const StatusText& status) {
    label.setFullText(qt(status.text));
    setColour(label, toneColour(status.tone));
}

void setTextKeepingCursor(QLineEdit& field, const std::string& text) {
    if (field.text() != qt(text)) field.setText(qt(text));
}

}  // namespace

namespace {

// A key typed just before quitting is still being written: quitting waits for it.
void waitForKeysAtQuit() {
    static bool connected = false;
    if (connected || !qApp) return;
    connected = true;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [] { APIKeyWriter::shared().waitUntilWritten(); });
}

}  // namespace

FormattingSection::FormattingSection(std::shared_ptr<FormattingSectionPresenter> presenter, QWidget* parent)
    : QFrame(parent),
      presenter_(std::move(presenter)),
      enableToggle_(new QCheckBox(buttonTitle(QStringLiteral("Enable AI formatting")))),
      providerPopup_(new QComboBox),
      modelComboBox_(new QComboBox),
      apiKeyField_(new QLineEdit),
      getKeyButton_(new QPushButton(buttonTitle(QStringLiteral("Get an API key")))),
      hostField_(new QLineEdit),
      statusLabel_(new ElidedLabel),
      daemonStatusLabel_(new QLabel),
      daemonActionButton_(new QPushButton),
      modelStatusLabel_(new QLabel),
      modelActionButton_(new QPushButton),
      pullProgressBar_(new QProgressBar),
      pullStatusLabel_(new QLabel) {
    setObjectName(QStringLiteral("FormattingSection"));
    // Status lines carry providers' and servers' own error texts: never markup.
    for (QLabel* status : {static_cast<QLabel*>(statusLabel_), daemonStatusLabel_, modelStatusLabel_, pullStatusLabel_}) {
        status->setTextFormat(Qt::PlainText);
    }
    const std::pair<QWidget*, const char*> names[] = {
        {enableToggle_, "enableToggle"},       {providerPopup_, "providerPopup"},
        {modelComboBox_, "modelComboBox"},     {apiKeyField_, "apiKeyField"},
        {getKeyButton_, "getKeyButton"},       {hostField_, "hostField"},
        {statusLabel_, "statusLabel"},         {daemonStatusLabel_, "daemonStatusLabel"},
        {daemonActionButton_, "daemonActionButton"}, {modelStatusLabel_, "modelStatusLabel"},
        {modelActionButton_, "modelActionButton"},   {pullStatusLabel_, "pullStatusLabel"},
    };
    for (const auto& [widget, name] : names) widget->setObjectName(QString::fromLatin1(name));
    Theme::styleSection(*this);
    buildUI();
    connectActions();
    presenter_->onStateChange = [this] { render(); };
    render();
    waitForKeysAtQuit();
}

FormattingSection::~FormattingSection() { presenter_->onStateChange = nullptr; }

void FormattingSection::buildUI() {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(14, 14, 14, 14);
    stack->setSpacing(10);

    QLabel* title = Theme::label(QStringLiteral("AI Formatting"), 14, Theme::paper(), QFont::DemiBold);
    QLabel* description = Theme::label(
        QStringLiteral("When enabled, your dictation is cleaned up and reformatted by an LLM before being pasted. "
                       "Off \u2192 plain transcript. Choose a local model (Ollama) or a cloud provider."),
        12, Theme::muted());
    description->setWordWrap(true);
    description->setFixedWidth(460);
    // The title sits closer to its description than the rows do to each other.
    auto* heading = new QVBoxLayout;
    heading->setSpacing(4);
    heading->addWidget(title);
    heading->addWidget(description);
    stack->addLayout(heading);
    stack->addSpacing(4);

    enableToggle_->setFont(Theme::sansFont(13, QFont::Normal));
    setColour(*enableToggle_, Theme::paper());
    stack->addWidget(enableToggle_);
    stack->addSpacing(4);

    for (FormattingProvider provider : kAllFormattingProviders) {
        providerPopup_->addItem(qt(std::string(displayName(provider))));
    }
    providerPopup_->setFixedWidth(kFieldWidth);
    stack->addWidget(horizontal({rowLabel(QStringLiteral("Provider")), providerPopup_}));

    modelComboBox_->setEditable(true);
    modelComboBox_->setInsertPolicy(QComboBox::NoInsert);
    modelComboBox_->setCompleter(nullptr);
    modelComboBox_->setFixedWidth(kFieldWidth);
    stack->addWidget(horizontal({rowLabel(QStringLiteral("Model")), modelComboBox_}));

    apiKeyRow_ = buildAPIKeyRow();
    stack->addWidget(apiKeyRow_);
    hostRow_ = buildHostRow();
    stack->addWidget(hostRow_);
    ollamaSection_ = buildOllamaSection();
    stack->addWidget(ollamaSection_);

    // A provider's error can run long: the line is cut at its tail.
    statusLabel_->setFont(Theme::sansFont(11, QFont::Normal));
    stack->addWidget(statusLabel_);
}

QWidget* FormattingSection::buildAPIKeyRow() {
    apiKeyField_->setEchoMode(QLineEdit::Password);
    apiKeyField_->setPlaceholderText(QStringLiteral("sk-\u2026"));
    apiKeyField_->setFixedWidth(kFieldWidth);
    getKeyButton_->setFlat(true);
    getKeyButton_->setCursor(Qt::PointingHandCursor);
    QFont link = Theme::sansFont(11, QFont::Normal);
    link.setUnderline(true);
    getKeyButton_->setFont(link);
    getKeyButton_->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 0; text-align: left; }")
                                     .arg(Theme::ember().name()));
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(apiKeyField_);
    layout->addWidget(getKeyButton_, 0, Qt::AlignLeft);
    return horizontal({rowLabel(QStringLiteral("API key")), column}, Qt::AlignTop);
}

QWidget* FormattingSection::buildHostRow() {
    hostField_->setPlaceholderText(qt(FormattingConfig::defaultOllamaHost().absoluteString()));
    hostField_->setFixedWidth(kFieldWidth);
    return horizontal({rowLabel(QStringLiteral("Host")), hostField_});
}

QWidget* FormattingSection::buildOllamaSection() {
    auto* block = new QWidget;
    auto* layout = new QVBoxLayout(block);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(Theme::label(QStringLiteral("Ollama setup"), 11, Theme::muted(), QFont::DemiBold));
    layout->addSpacing(2);
    for (auto [status, button] : {std::pair{daemonStatusLabel_, daemonActionButton_},
                                  std::pair{modelStatusLabel_, modelActionButton_}}) {
        status->setFont(Theme::sansFont(12, QFont::Normal));
        button->setFont(Theme::sansFont(11, QFont::Normal));
        button->hide();
        layout->addWidget(horizontal({status, button}, Qt::Alignment()));
    }
    pullProgressBar_->setRange(0, kProgressSteps);
    pullProgressBar_->setTextVisible(false);
    pullProgressBar_->setMaximumHeight(8);
    pullProgressBar_->hide();
    layout->addWidget(pullProgressBar_);
    pullStatusLabel_->setFont(Theme::sansFont(11, QFont::Normal));
    pullStatusLabel_->hide();
    layout->addWidget(pullStatusLabel_);
    return block;
}

void FormattingSection::connectActions() {
    FormattingSectionPresenter* presenter = presenter_.get();
    connect(enableToggle_, &QCheckBox::clicked, this, [presenter](bool on) { presenter->toggleEnabled(on); });
    connect(providerPopup_, &QComboBox::activated, this,
            [presenter](int index) { if (index >= 0) presenter->providerChanged(static_cast<std::size_t>(index)); });
    connect(modelComboBox_, &QComboBox::textActivated, this,
            [presenter](const QString& text) { presenter->modelEntered(text.toStdString()); });
    connect(modelComboBox_->lineEdit(), &QLineEdit::editingFinished, this,
            [this] { presenter_->modelEntered(modelComboBox_->currentText().toStdString()); });
    connect(apiKeyField_, &QLineEdit::textEdited, this,
            [presenter](const QString& text) { presenter->apiKeyChanged(text.toStdString()); });
    connect(apiKeyField_, &QLineEdit::editingFinished, this,
            [this] { presenter_->apiKeyEditingEnded(apiKeyField_->text().toStdString()); });
    connect(hostField_, &QLineEdit::editingFinished, this,
            [this] { presenter_->hostEditingEnded(hostField_->text().toStdString()); });
    connect(getKeyButton_, &QPushButton::clicked, this, [presenter] { presenter->openAPIKeyHelp(); });
    connect(daemonActionButton_, &QPushButton::clicked, this, [presenter] { presenter->daemonActionClicked(); });
    connect(modelActionButton_, &QPushButton::clicked, this, [presenter] { presenter->modelActionClicked(); });
}

void FormattingSection::render() {
    const FormattingSectionState& state = presenter_->state();
    enableToggle_->setChecked(state.enabled);
    providerPopup_->setCurrentIndex(static_cast<int>(state.providerIndex));

    QStringList models;
    for (const std::string& model : state.modelItems) models << qt(model);
    QStringList shown;
    for (int i = 0; i < modelComboBox_->count(); ++i) shown << modelComboBox_->itemText(i);
    if (shown != models) {
        modelComboBox_->clear();
        modelComboBox_->addItems(models);
    }
    if (modelComboBox_->currentText() != qt(state.modelText)) modelComboBox_->setEditText(qt(state.modelText));
    setTextKeepingCursor(*apiKeyField_, state.apiKeyText);
    setTextKeepingCursor(*hostField_, state.hostText);

    for (QWidget* control : std::initializer_list<QWidget*>{providerPopup_, modelComboBox_, apiKeyField_, hostField_}) {
        control->setEnabled(state.controlsEnabled);
    }
    apiKeyRow_->setVisible(state.apiKeyRowVisible);
    hostRow_->setVisible(state.hostRowVisible);
    ollamaSection_->setVisible(state.ollamaSectionVisible);
    getKeyButton_->setVisible(state.getKeyButtonVisible);
    getKeyButton_->setText(buttonTitle(state.getKeyTitle));
    getKeyButton_->setToolTip(qt(state.getKeyToolTip));
    showStatus(*statusLabel_, state.status);

    const OllamaBlockState& ollama = state.ollama;
    showStatus(*daemonStatusLabel_, ollama.daemonStatus);
    daemonActionButton_->setText(buttonTitle(ollama.daemonButtonTitle));
    daemonActionButton_->setVisible(ollama.daemonButtonVisible);
    showStatus(*modelStatusLabel_, ollama.modelStatus);
    modelActionButton_->setText(buttonTitle(ollama.modelButtonTitle));
    modelActionButton_->setVisible(ollama.modelButtonVisible);
    pullProgressBar_->setVisible(ollama.pullBarVisible);
    if (ollama.pullBarIndeterminate) {
        pullProgressBar_->setRange(0, 0);
    } else {
        pullProgressBar_->setRange(0, kProgressSteps);
        pullProgressBar_->setValue(static_cast<int>(ollama.pullBarValue * kProgressSteps));
    }
    showStatus(*pullStatusLabel_, ollama.pullStatus);
    pullStatusLabel_->setVisible(ollama.pullStatusVisible);
}

}  // namespace dictaro
