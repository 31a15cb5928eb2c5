#include "TInfoListModel.h"

#include <algorithm>

namespace {

// Long enough to gather a burst into one insertion, short enough to look immediate.
constexpr int FlushDelayMs = 25;

} // namespace

TInfoListModel::TInfoListModel(QObject* parent, std::size_t capacity)
    : QAbstractListModel(parent), FCapacity(std::max<std::size_t>(capacity, 1)) {
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
    // A batch larger than the list itself would only be dropped again.
    if (Pending.size() > FCapacity)
        Pending.pop_front();
    if (!FlushTimer.isActive())
        FlushTimer.start();
}

void TInfoListModel::Flush() {
    FlushTimer.stop();
    if (Pending.empty())
        return;
    const std::size_t excess =
        Shown.size() + Pending.size() > FCapacity ? Shown.size() + Pending.size() - FCapacity : 0;
    const std::size_t dropShown = std::min(excess, Shown.size());
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
}

void TInfoListModel::Clear() {
    FlushTimer.stop();
    Pending.clear();
    beginResetModel();
    Shown.clear();
    endResetModel();
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
