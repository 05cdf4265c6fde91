// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis page's list with 200,000 found items, against the peer Qt offers for the
// same job (a QStandardItemModel with one item per cell, under the same proxy and view):
// the time to fill and show the list, to sort it by size, and to filter it by a name;
// and the hex dump view's paint of one screen over a 4 KiB and a 64 MiB buffer.
//   tw_list_bench [ROWS]     (offscreen; prints one line per step, and the ratios)
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QPixmap>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "controls/dump_view.h"
#include "volume/ui/analyze_drive_page.h"

namespace {

using tw::volume::ui::FoundModel;
using tw::volume::ui::FoundRow;

std::vector<FoundRow> MakeRows(int n) {
    std::vector<FoundRow> rows(static_cast<size_t>(n));
    uint64_t seed = 88172645463325252ull;
    for (int i = 0; i < n; ++i) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        FoundRow& r = rows[static_cast<size_t>(i)];
        r.name = "file" + std::to_string(i) + (i % 3 ? ".txt" : ".jpg");
        r.ext = i % 3 ? "txt" : "jpg";
        r.folder = "/home/user/folder" + std::to_string(i % 500);
        r.size = seed % 50000000;
        r.recoverability = static_cast<int>(seed % 101);
        r.location = static_cast<uint64_t>(i) * 2;
    }
    return rows;
}

// Each step: the model change, then the view laid out and painted once.
double Paint(QTableView& view) {
    QElapsedTimer t;
    t.start();
    view.grab();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

struct Times {
    double show = 0, sort = 0, filter = 0;
};

Times RunOurs(const std::vector<FoundRow>& rows) {
    FoundModel model;
    tw::volume::ui::FoundFilter proxy;
    proxy.setSourceModel(&model);
    QTableView view;
    view.setModel(&proxy);
    view.setSortingEnabled(true);
    view.sortByColumn(-1, Qt::AscendingOrder);
    view.resize(1000, 600);
    Times t;
    QElapsedTimer clock;
    clock.start();
    // The page takes the found items in batches while the search runs.
    for (size_t at = 0; at < rows.size(); at += 5000) {
        std::vector<FoundRow> batch(
            rows.begin() + static_cast<long>(at),
            rows.begin() + static_cast<long>(std::min(at + 5000, rows.size())));
        model.Append(std::move(batch));
    }
    t.show = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    clock.restart();
    view.sortByColumn(FoundModel::Size, Qt::AscendingOrder);
    t.sort = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    clock.restart();
    proxy.SetFilter(QStringLiteral("123"), QString());
    t.filter = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    return t;
}

Times RunPeer(const std::vector<FoundRow>& rows) {
    QStandardItemModel model(0, 5);
    QSortFilterProxyModel proxy;
    proxy.setSourceModel(&model);
    proxy.setSortRole(Qt::UserRole + 1);
    proxy.setFilterKeyColumn(0);
    proxy.setFilterCaseSensitivity(Qt::CaseInsensitive);
    QTableView view;
    view.setModel(&proxy);
    view.setSortingEnabled(true);
    view.sortByColumn(-1, Qt::AscendingOrder);
    view.resize(1000, 600);
    Times t;
    QElapsedTimer clock;
    clock.start();
    for (size_t at = 0; at < rows.size(); at += 5000) {
        for (size_t i = at; i < std::min(at + 5000, rows.size()); ++i) {
            const FoundRow& r = rows[i];
            QList<QStandardItem*> cells{new QStandardItem(QString::fromStdString(r.name)),
                                        new QStandardItem(QString::fromStdString(r.ext)),
                                        new QStandardItem(QString::fromStdString(r.folder)),
                                        new QStandardItem(QString::number(r.size)),
                                        new QStandardItem(QString::number(r.recoverability))};
            cells[3]->setData(QVariant::fromValue<qulonglong>(r.size), Qt::UserRole + 1);
            model.appendRow(cells);
        }
    }
    t.show = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    clock.restart();
    view.sortByColumn(3, Qt::AscendingOrder);
    t.sort = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    clock.restart();
    proxy.setFilterFixedString(QStringLiteral("123"));
    t.filter = static_cast<double>(clock.nsecsElapsed()) / 1e6 + Paint(view);
    return t;
}

double DumpPaint(qsizetype bytes) {
    tw::controls::MFCDumpCtrl dump;
    dump.resize(800, 600);
    dump.SetData(QByteArray(bytes, '\x5a'));
    dump.show();
    dump.SetTopUnit(dump.UnitCount() / 2);
    dump.grab();  // the first paint lays out the widget
    QElapsedTimer t;
    t.start();
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        dump.SetTopUnit(dump.UnitCount() / 2 + qint64(i) * dump.UnitsPerLine());
        dump.grab();
    }
    return static_cast<double>(t.nsecsElapsed()) / 1e6 / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 200000;
    const std::vector<FoundRow> rows = MakeRows(n);
    const Times ours = RunOurs(rows);
    const Times peer = RunPeer(rows);
    std::printf("rows %d\n", n);
    std::printf("step    ours ms  peer ms  peer/ours\n");
    std::printf("show   %8.1f %8.1f %8.2f\n", ours.show, peer.show, peer.show / ours.show);
    std::printf("sort   %8.1f %8.1f %8.2f\n", ours.sort, peer.sort, peer.sort / ours.sort);
    std::printf("filter %8.1f %8.1f %8.2f\n", ours.filter, peer.filter, peer.filter / ours.filter);
    const double small = DumpPaint(4096), large = DumpPaint(64 << 20);
    std::printf("dump paint of one screen: 4 KiB %.2f ms, 64 MiB %.2f ms, ratio %.2f\n", small,
                large, large / small);
    return 0;
}
