#pragma once

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstddef>
#include <deque>

/// The lines of the error list. Appended lines are collected and handed to the
/// view in batches, so thousands of lines a second cost one insertion per
/// batch; only the latest `Capacity` lines are kept, the oldest beyond that are
/// dropped.
class TInfoListModel final : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr std::size_t DefaultCapacity = 1'000'000;

    explicit TInfoListModel(QObject* parent = nullptr, std::size_t capacity = DefaultCapacity);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    /// Adds a line after every line appended so far.
    void Append(const QString& line);
    /// Hands the lines collected so far to the view now.
    void Flush();
    /// Removes every line, shown or still collected.
    void Clear();

    /// Every line, collected ones included, oldest first.
    QStringList Lines() const;
    std::size_t Capacity() const { return FCapacity; }

private:
    std::size_t FCapacity;
    std::deque<QString> Shown;
    std::deque<QString> Pending;
    QTimer FlushTimer;
};
