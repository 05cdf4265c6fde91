// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/ui/file_slack_viewer.h"

#include <fcntl.h>
#include <unistd.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "controls/dump_view.h"
#include "platform/format.h"
#include "shell/ui/ui_text.h"

namespace tw::volume::ui {

using tw::ui::Q;

namespace {
// The image mode reads at most this much of a file.
constexpr uint64_t kImageLimit = 64ull << 20;

QString SizeLine(uint64_t bytes) {
    return bytes >= 1024 ? Q(FormatSize(bytes, "%2.2f")) + QStringLiteral(" (%1 bytes)").arg(bytes)
                         : QStringLiteral("%1 (b)").arg(bytes);
}
}  // namespace

CFileSlackViewerDlg::CFileSlackViewerDlg(AnalysisEngine& engine, FoundRow item, QWidget* parent)
    : QDialog(parent), engine_(engine), item_(std::move(item)) {
    setWindowTitle(tr("Tidewipe Data Viewer"));
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    auto* facts = new QFormLayout;
    auto* path = new QLabel(
        Q(item_.folder) +
            (item_.folder.empty() || item_.folder.back() == '/' ? QString() : QStringLiteral("/")) +
            Q(item_.name),
        this);
    path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    path->setWordWrap(true);
    facts->addRow(tr("File Path: "), path);
    // The attribute text is the details' line "Attributes: ...".
    QString attributes;
    for (const QString& l : Q(item_.details).split('\n'))
        if (l.startsWith(QStringLiteral("Attributes: "))) attributes = l.mid(12);
    auto* attr = new QLabel(attributes, this);
    attr->setFont(fixed);
    facts->addRow(tr("Attributes:"), attr);
    facts->addRow(tr("File Size: "), new QLabel(SizeLine(item_.size), this));
    if (item_.slack) facts->addRow(tr("Slack Size:"), new QLabel(SizeLine(item_.slackBytes), this));

    clusters_ = new QComboBox(this);
    clusters_->setAccessibleName(tr("Goto Cluster"));
    prev_ = new QPushButton(tr("&Previous Cluster"), this);
    next_ = new QPushButton(tr("&Next Cluster"), this);
    auto* clusterRow = new QHBoxLayout;
    auto* gotoLabel = new QLabel(tr("&Goto Cluster"), this);
    gotoLabel->setBuddy(clusters_);
    clusterRow->addWidget(gotoLabel);
    clusterRow->addWidget(clusters_, 1);
    clusterRow->addWidget(prev_);
    clusterRow->addWidget(next_);

    filtered_ = new QPlainTextEdit(this);
    filtered_->setReadOnly(true);
    filtered_->setFont(fixed);
    filtered_->setAccessibleName(tr("Filtered Data (ASCII Only)"));
    raw_ = new QPlainTextEdit(this);
    raw_->setReadOnly(true);
    raw_->setFont(fixed);
    raw_->setAccessibleName(tr("Raw Data"));
    hex_ = new controls::MFCDumpCtrl(this);
    hex_->SetSubstituteChar('.');
    rawStack_ = new QStackedWidget(this);
    rawStack_->addWidget(raw_);
    rawStack_->addWidget(hex_);

    auto* textPage = new QWidget(this);
    auto* textColumn = new QVBoxLayout(textPage);
    textColumn->setContentsMargins(0, 0, 0, 0);
    textColumn->addWidget(new QLabel(tr("Filtered Data (ASCII Only)"), textPage));
    textColumn->addWidget(filtered_, 1);
    textColumn->addWidget(new QLabel(tr("Raw Data"), textPage));
    textColumn->addWidget(rawStack_, 1);

    image_ = new QLabel(this);
    image_->setAlignment(Qt::AlignCenter);
    message_ = new QLabel(tr("Unable to display image"), this);
    message_->setAlignment(Qt::AlignCenter);
    message_->hide();
    auto* imagePage = new QWidget(this);
    auto* imageColumn = new QVBoxLayout(imagePage);
    auto* scroll = new QScrollArea(imagePage);
    scroll->setWidget(image_);
    scroll->setWidgetResizable(true);
    imageColumn->addWidget(scroll, 1);
    imageColumn->addWidget(message_);

    body_ = new QStackedWidget(this);
    body_->addWidget(textPage);
    body_->addWidget(imagePage);

    hexBtn_ = new QPushButton(tr("Show &Hex"), this);
    imageBtn_ = new QPushButton(tr("View &Image"), this);
    auto* recover = new QPushButton(tr("&Recover File"), this);
    auto* wipe = new QPushButton(tr("&Wipe File"), this);
    auto* close = new QPushButton(tr("Close"), this);
    recover->setEnabled(!item_.slack);
    wipe->setEnabled(!item_.slack);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(hexBtn_);
    buttons->addWidget(imageBtn_);
    buttons->addStretch(1);
    buttons->addWidget(recover);
    buttons->addWidget(wipe);
    buttons->addWidget(close);

    auto* column = new QVBoxLayout(this);
    column->addLayout(facts);
    column->addLayout(clusterRow);
    column->addWidget(body_, 1);
    column->addLayout(buttons);

    connect(prev_, &QPushButton::clicked, this, &CFileSlackViewerDlg::PreviousCluster);
    connect(next_, &QPushButton::clicked, this, &CFileSlackViewerDlg::NextCluster);
    connect(clusters_, &QComboBox::activated, this, &CFileSlackViewerDlg::ShowCluster);
    connect(hexBtn_, &QPushButton::clicked, this, &CFileSlackViewerDlg::ToggleHex);
    connect(imageBtn_, &QPushButton::clicked, this, &CFileSlackViewerDlg::ToggleImage);
    connect(recover, &QPushButton::clicked, this, &CFileSlackViewerDlg::recoverRequested);
    connect(wipe, &QPushButton::clicked, this, &CFileSlackViewerDlg::wipeRequested);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, &CFileSlackViewerDlg::RemoveTemp);

    std::string error;
    list_ = engine_.Clusters(item_, &error);
    for (const AnalysisEngine::ClusterRef& c : list_)
        clusters_->addItem(c.inUse ? tr("Cluster %1 (in use by another file)").arg(c.number)
                                   : tr("Cluster %1").arg(c.number));
    if (list_.empty() && !item_.slack && engine_.ReadData(item_, 1 << 20, &resident_, &error)) {
        // Data kept inside the file record: one entry, the record's data.
        clusters_->addItem(tr("Data inside the file record"));
        list_.push_back({});
        ShowCluster(0);
    } else if (list_.empty()) {
        filtered_->setPlainText(error.empty() ? tr("This item has no clusters to show.")
                                              : Q(error));
        prev_->setEnabled(false);
        next_->setEnabled(false);
    } else {
        ShowCluster(0);
    }
    resize(fontMetrics().horizontalAdvance(QLatin1Char('0')) * 96, fontMetrics().height() * 36);
}

CFileSlackViewerDlg::~CFileSlackViewerDlg() { RemoveTemp(); }

void CFileSlackViewerDlg::ShowCluster(int index) {
    if (index < 0 || index >= static_cast<int>(list_.size())) return;
    clusters_->setCurrentIndex(index);
    prev_->setEnabled(index > 0);
    next_->setEnabled(index + 1 < static_cast<int>(list_.size()));
    std::string error;
    bytes_.clear();
    if (!resident_.empty()) {
        bytes_ = resident_;
    } else if (!engine_.ReadCluster(item_, list_[static_cast<size_t>(index)].number, &bytes_,
                                    &error)) {
        filtered_->setPlainText(Q(error));
        raw_->clear();
        hex_->SetData({});
        return;
    }
    filtered_->setPlainText(Q(FilteredAscii(bytes_)));
    const QByteArray raw(reinterpret_cast<const char*>(bytes_.data()),
                         static_cast<qsizetype>(bytes_.size()));
    // The raw area shows the bytes as they are (Latin-1, NULs as blanks).
    QString plain = QString::fromLatin1(raw);
    plain.replace(QChar(0), QLatin1Char(' '));
    raw_->setPlainText(plain);
    hex_->SetData(raw);
}

void CFileSlackViewerDlg::PreviousCluster() { ShowCluster(clusters_->currentIndex() - 1); }
void CFileSlackViewerDlg::NextCluster() { ShowCluster(clusters_->currentIndex() + 1); }

bool CFileSlackViewerDlg::HexShown() const { return rawStack_->currentWidget() == hex_; }
bool CFileSlackViewerDlg::ImageShown() const { return body_->currentIndex() == 1; }

void CFileSlackViewerDlg::ToggleHex() {
    const bool show = !HexShown();
    rawStack_->setCurrentWidget(show ? static_cast<QWidget*>(hex_) : raw_);
    hexBtn_->setText(show ? tr("Hide &Hex") : tr("Show &Hex"));
}

void CFileSlackViewerDlg::ToggleImage() {
    const bool show = !ImageShown();
    body_->setCurrentIndex(show ? 1 : 0);
    hexBtn_->setEnabled(!show);
    imageBtn_->setText(show ? tr("View &Data") : tr("View &Image"));
    if (!show || imageLoaded_) return;
    imageLoaded_ = true;
    const QString ext = Q(item_.ext).toLower();
    const bool picture = ext == "bmp" || ext == "gif" || ext == "jpg" || ext == "png";
    std::vector<uint8_t> data;
    std::string error;
    QImage img;
    if (picture && engine_.ReadData(item_, kImageLimit, &data, &error)) {
        // The decoders read from a file: a private one (mode 0600, from mkstemps) in the
        // temporary folder, removed as soon as the picture is loaded.
        QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/tidewipe-XXXXXX." + ext);
        const int fd = ::mkstemps(pattern.data(), static_cast<int>(ext.size()) + 1);
        if (fd >= 0) {
            tempImage_ = QFile::decodeName(pattern);
            size_t done = 0;
            while (done < data.size()) {
                const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
            if (done == data.size()) {
                QImageReader reader(tempImage_);
                reader.setAutoTransform(true);
                img = reader.read();
            }
            RemoveTemp();
        }
    }
    if (img.isNull()) {
        image_->clear();
        message_->show();
        return;
    }
    message_->hide();
    // A tiny picture (an icon, a pixel) is enlarged by a whole factor so it can be seen.
    const int longest = qMax(img.width(), img.height());
    if (longest < 128)
        img = img.scaled(img.size() * (128 / longest), Qt::KeepAspectRatio, Qt::FastTransformation);
    image_->setPixmap(QPixmap::fromImage(img));
}

void CFileSlackViewerDlg::RemoveTemp() {
    if (tempImage_.isEmpty()) return;
    ::unlink(QFile::encodeName(tempImage_).constData());
    tempImage_.clear();
}

}  // namespace tw::volume::ui
