#include "TInfoListModel.h"

#include "TFreeMemory.h"

#include <algorithm>

namespace {

// Long enough to gather a burst into one insertion, short enough to look immediate.
constexpr int FlushDelayMs = 25;

std::size_t TextBytesOf(const QString& line) {
    return static_cast<std::size_t>(line.size()) * sizeof(QChar);
}

} // namespace

TInfoListModel::TInfoListModel(QObject* parent, std::size_t capacity, std::size_t maxBytes)
    : QAbstractListModel(parent), FCapacity(std::max<std::size_t>(capacity, 1)),
      FMaxBytes(std::max<std::size_t>(maxBytes, 1)) {
    FlushTimer.setSingleShot(true);
    FlushTimer.setInterval(FlushDelayMs);
    connect(&FlushTimer, &QTimer::timeout, this, &TInfoListModel::Flush);
}

int TInfoListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(Shown.size());
}

QVariant TInfoListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() < 0 ||
        static_cast<std::size_t>(index.row()) >= Shown.size())
        return {};
    return Shown[static_cast<std::size_t>(index.row())];
}

void TInfoListModel::Append(const QString& line) {
    Pending.push_back(line);
    PendingBytes += TextBytesOf(line);
    // A batch larger than the list itself would only be dropped again; the
    // newest line is always kept.
    while (Pending.size() > 1 && (Pending.size() > FCapacity || PendingBytes > FMaxBytes)) {
        PendingBytes -= TextBytesOf(Pending.front());
        Pending.pop_front();
    }
    if (!FlushTimer.isActive())
        FlushTimer.start();
}

void TInfoListModel::Flush() {
    FlushTimer.stop();
    if (Pending.empty())
        return;
    // Oldest shown lines go first, until both bounds hold with the batch added.
    std::size_t dropShown = 0;
    std::size_t bytes = ShownBytes + PendingBytes;
    while (dropShown < Shown.size() &&
           (Shown.size() - dropShown + Pending.size() > FCapacity || bytes > FMaxBytes)) {
        bytes -= TextBytesOf(Shown[dropShown]);
        ++dropShown;
    }
    if (dropShown > 0) {
        beginRemoveRows(QModelIndex(), 0, static_cast<int>(dropShown) - 1);
        Shown.erase(Shown.begin(), Shown.begin() + static_cast<std::ptrdiff_t>(dropShown));
        endRemoveRows();
    }
    const int first = static_cast<int>(Shown.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(Pending.size()) - 1);
    Shown.insert(Shown.end(), std::make_move_iterator(Pending.begin()),
                 std::make_move_iterator(Pending.end()));
    Pending.clear();
    endInsertRows();
    ShownBytes = bytes;
    PendingBytes = 0;
}

void TInfoListModel::Clear() {
    FlushTimer.stop();
    beginResetModel();
    // Swapped with empty ones: a cleared deque may keep its blocks.
    std::deque<QString>().swap(Shown);
    std::deque<QString>().swap(Pending);
    ShownBytes = 0;
    PendingBytes = 0;
    endResetModel();
    FreeUnusedMemory();
}

QStringList TInfoListModel::Lines() const {
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(Shown.size() + Pending.size()));
    for (const QString& line : Shown)
        lines.append(line);
    for (const QString& line : Pending)
        lines.append(line);
    return lines;
}
