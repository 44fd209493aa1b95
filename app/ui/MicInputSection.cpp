#include "app/ui/MicInputSection.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/ui/Theme.h"

namespace dictaro {
namespace {

QLabel* wrapping(QLabel* result) {
    result->setWordWrap(true);
    result->setMaximumWidth(460);
    return result;
}

}  // namespace

MicInputSection::MicInputSection(std::shared_ptr<MicInputSectionPresenter> presenter, QWidget* parent)
    : QFrame(parent),
      presenter_(std::move(presenter)),
      popup_(new QComboBox),
      warningLabel_(wrapping(Theme::label(QString(), 11, Theme::muted()))) {
    setObjectName(QStringLiteral("MicInputSection"));
    popup_->setObjectName(QStringLiteral("popup"));
    warningLabel_->setObjectName(QStringLiteral("warningLabel"));
    Theme::styleSection(*this);
    buildUI();
    reloadDevices();
}

void MicInputSection::buildUI() {
    QLabel* rowLabel = Theme::label(QString::fromUtf8(MicInputSectionPresenter::rowLabel), 12, Theme::muted(), QFont::Medium);
    rowLabel->setFixedWidth(60);
    popup_->setFixedWidth(320);
    // Only the user's choice is stored: a reload must not write the preference.
    connect(popup_, &QComboBox::activated, this, [this] { deviceChanged(); });

    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    row->addWidget(rowLabel, 0, Qt::AlignBaseline);
    row->addWidget(popup_, 0, Qt::AlignBaseline);
    row->addStretch(1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    column->addWidget(Theme::label(QString::fromUtf8(MicInputSectionPresenter::title), 14, Theme::paper(), QFont::DemiBold));
    column->addSpacing(4 - 10);
    column->addWidget(wrapping(Theme::label(QString::fromUtf8(MicInputSectionPresenter::explanation), 12, Theme::muted())));
    column->addSpacing(12 - 10);
    column->addLayout(row);
    column->addWidget(warningLabel_);
    warningLabel_->hide();
}

void MicInputSection::reloadDevices() {
    presenter_->reloadDevices();
    popup_->clear();
    const MicInputSectionState& state = presenter_->state();
    popup_->addItem(QString::fromStdString(state.itemTitles.front()));
    const std::vector<DictaroAudioDevice>& devices = presenter_->devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        popup_->addItem(QString::fromStdString(state.itemTitles[i + 1]), QVariant::fromValue(devices[i].id));
    }
    popup_->setCurrentIndex(state.selectedIndex);
    refreshWarning();
}

void MicInputSection::deviceChanged() {
    presenter_->select(popup_->currentIndex());
    popup_->setCurrentIndex(presenter_->state().selectedIndex);
    refreshWarning();
}

void MicInputSection::refreshWarning() {
    const std::optional<std::string>& warning = presenter_->state().warning;
    warningLabel_->setText(QString::fromStdString(warning.value_or("")));
    warningLabel_->setVisible(warning.has_value());
}

}  // namespace dictaro
