// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/status_page.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QVBoxLayout>

#include "platform/drives.h"
#include "shell/ui/status_actions.h"
#include "shell/ui/ui_text.h"

namespace tw::ui {

namespace {

// The tile colours of the original design: a dark slate blue when on, a light sky
// blue when off.
constexpr QRgb kOnColour = 0x667686;
constexpr QRgb kOffColour = 0x75a9c8;

QString Multiline(QString text) {
    return text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
}

}  // namespace

StatusTile::StatusTile(QString onText, QString offText, QString toolTip, QWidget* parent)
    : QToolButton(parent), onText_(Multiline(onText)), offText_(Multiline(offText)) {
    setCheckable(true);
    setToolTip(toolTip);
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setFocusPolicy(Qt::StrongFocus);
    const int line = fontMetrics().height();
    setMinimumSize(line * 9, line * 5);
    setMaximumHeight(line * 9);
    QFont f = font();
    f.setBold(true);
    setFont(f);
    ShowState(false);
}

void StatusTile::ShowState(bool on) {
    setChecked(on);
    setText(on ? onText_ : offText_);
    // Screen readers read the whole state, not the colour.
    setAccessibleName(QString(text()).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    QPalette p = palette();
    const QColor back = QColor::fromRgb(on ? kOnColour : kOffColour);
    p.setColor(QPalette::Button, back);
    p.setColor(QPalette::Window, back);
    p.setColor(QPalette::ButtonText, on ? QColor(Qt::white) : QColor(0x10, 0x20, 0x30));
    setPalette(p);
}

StatusPage::StatusPage(StatusActions& actions, QWidget* parent)
    : QWidget(parent),
      actions_(actions),
      tiles_{new StatusTile(Tx<173>(), Tx<510>(), Tx<363>(), this),
             new StatusTile(Tx<174>(), Tx<175>(), Tx<365>(), this),
             new StatusTile(Tx<176>(), Tx<177>(), Tx<367>(), this),
             new StatusTile(Tx<374>(), Tx<375>(), Tx<485>(), this),
             new StatusTile(Tx<119>(), Tx<371>(), tr("coming soon"), this),
             new StatusTile(Tx<372>(), Tx<373>(), tr("coming soon"), this)},
      nextClean_(new QLabel(this)),
      used_(new QProgressBar(this)),
      free_(new QProgressBar(this)),
      usedText_(new QLabel(Tx<231>(), this)),
      freeText_(new QLabel(Tx<232>(), this)),
      swap_(new QLabel(this)) {
    // The two placeholder tiles of features this program does not have.
    tiles_[FileTracks]->hide();
    tiles_[Internet]->hide();
    auto* grid = new QGridLayout;
    grid->addWidget(tiles_[AutoWiping], 0, 0);
    grid->addWidget(tiles_[LoadOnStartup], 0, 1);
    grid->addWidget(tiles_[Logging], 1, 0);
    grid->addWidget(tiles_[TimedCleaning], 1, 1);
    for (int t = 0; t < kTiles; ++t) {
        connect(tiles_[t], &QToolButton::clicked, this,
                [this, t](bool on) { OnTile(static_cast<Tile>(t), on); });
    }
    nextClean_->setAccessibleName(Tx<484>());
    nextClean_->setWordWrap(true);
    nextClean_->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);

    auto* space = new QGroupBox(tr("Home folder's drive"), this);
    auto* form = new QFormLayout(space);
    used_->setAccessibleName(Tx<231>());
    free_->setAccessibleName(Tx<232>());
    usedText_->setBuddy(used_);
    freeText_->setBuddy(free_);
    form->addRow(usedText_, used_);
    form->addRow(freeText_, free_);
    form->addRow(swap_);
    swap_->setAccessibleName(Tx<188>());

    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addWidget(nextClean_);
    column->addWidget(space);
    column->addStretch(1);
}

void StatusPage::Refresh(const QString& nextCleanText) {
    tiles_[AutoWiping]->ShowState(actions_.AutoWiping());
    tiles_[LoadOnStartup]->ShowState(actions_.LoadOnStartup());
    tiles_[Logging]->ShowState(actions_.Logging());
    tiles_[TimedCleaning]->ShowState(actions_.TimedCleaning());
    nextClean_->setText(Tx<484>() + QStringLiteral(": ") + nextCleanText);
    RefreshSpace();
}

void StatusPage::RefreshSpace() {
    const QLocale locale;
    uint64_t used = 0, free = 0;
    const bool known = SpaceOf(HomeFolder(), &used, &free);
    const uint64_t total = used + free;
    // Percent keeps the bars' range inside int whatever the drive's size.
    const int usedPct = known && total ? static_cast<int>(used * 100 / total) : 0;
    used_->setRange(0, 100);
    free_->setRange(0, 100);
    used_->setValue(usedPct);
    free_->setValue(known ? 100 - usedPct : 0);
    used_->setFormat(known ? locale.formattedDataSize(static_cast<qint64>(used)) : tr("unknown"));
    free_->setFormat(known ? locale.formattedDataSize(static_cast<qint64>(free)) : tr("unknown"));
    const int64_t swap = UnusedSwapBytes();
    swap_->setText(Tx<188>() + QLatin1Char(' ') +
                   (swap < 0 ? tr("unknown") : locale.formattedDataSize(swap)));
}

void StatusPage::OnTile(Tile t, bool on) {
    bool shown = on;
    switch (t) {
        case AutoWiping:
            shown = actions_.SetAutoWiping(on);
            break;
        case LoadOnStartup:
            shown = actions_.SetLoadOnStartup(on);
            break;
        case Logging:
            shown = actions_.SetLogging(on);
            break;
        case TimedCleaning:
            shown = actions_.SetTimedCleaning(on);
            break;
        case FileTracks:
        case Internet:
        case kTiles:
            break;
    }
    tiles_[t]->ShowState(shown);
    emit statusChanged();
}

}  // namespace tw::ui
