#pragma once

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstddef>
#include <deque>

/// The lines of the error list. Appended lines are collected and handed to the
/// view in batches, so thousands of lines a second cost one insertion per
/// batch; only the latest `Capacity` lines, and no more than `MaxBytes` bytes
/// of text, are kept: the oldest beyond that are dropped. A device that floods
/// the line with garbage can therefore not fill the memory.
class TInfoListModel final : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr std::size_t DefaultCapacity = 1'000'000;
    static constexpr std::size_t DefaultMaxBytes = std::size_t{64} << 20;

    explicit TInfoListModel(QObject* parent = nullptr, std::size_t capacity = DefaultCapacity,
                            std::size_t maxBytes = DefaultMaxBytes);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    /// Adds a line after every line appended so far.
    void Append(const QString& line);
    /// Hands the lines collected so far to the view now.
    void Flush();
    /// Removes every line, shown or still collected, and gives their memory back.
    void Clear();

    /// Every line, collected ones included, oldest first.
    QStringList Lines() const;
    std::size_t Capacity() const { return FCapacity; }
    std::size_t MaxBytes() const { return FMaxBytes; }
    /// Bytes of text held now, collected lines included.
    std::size_t TextBytes() const { return ShownBytes + PendingBytes; }

private:
    std::size_t FCapacity;
    std::size_t FMaxBytes;
    std::deque<QString> Shown;
    std::deque<QString> Pending;
    std::size_t ShownBytes = 0;
    std::size_t PendingBytes = 0;
    QTimer FlushTimer;
};
