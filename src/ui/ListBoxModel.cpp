#include "ui/ListBoxModel.h"

#include "container/List.h"

#include <algorithm>
#include <functional>
#include <string_view>

int ListBoxModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

QVariant ListBoxModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_)
        return {};
    return Text(index.row());
}

QString ListBoxModel::Text(int row) const {
    if (!items_)
        return {};
    if (items_->GetListMode() == List::ListModeString) {
        const std::u16string_view text = items_->TextAt(row);
        return QString::fromUtf16(text.data(), qsizetype(text.size()));
    }
    std::u16string text;
    items_->GetItem(row).ToText(text);
    return QString::fromStdU16String(text);
}

size_t ListBoxModel::HashOf(int row) const {
    if (items_->GetListMode() == List::ListModeString)
        return std::hash<std::u16string_view>{}(items_->TextAt(row));
    std::u16string text;
    items_->GetItem(row).ToText(text);
    return std::hash<std::u16string>{}(text);
}

void ListBoxModel::Show(std::shared_ptr<const List> items) {
    const int rows = items ? int(items->GetItemCount()) : 0;
    if (items != items_) {
        beginResetModel();
        items_ = std::move(items);
        rows_ = rows;
        hashes_.resize(size_t(rows));
        for (int i = 0; i < rows; ++i)
            hashes_[size_t(i)] = HashOf(i);
        endResetModel();
        return;
    }
    // The same list, edited: the rows that stayed at its start and at its end are passed over;
    // between them the rows are changed, and the difference in count is inserted or removed at the
    // end of that stretch (a connection that closed: one row removed, nothing else).
    std::vector<size_t> now(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i)
        now[size_t(i)] = HashOf(i);
    const int shorter = std::min(rows, rows_);
    int head = 0, tail = 0;
    while (head < shorter && now[size_t(head)] == hashes_[size_t(head)])
        ++head;
    while (tail < shorter - head &&
           now[size_t(rows - 1 - tail)] == hashes_[size_t(rows_ - 1 - tail)])
        ++tail;
    const int changed = shorter - head - tail;
    if (changed > 0)
        emit dataChanged(index(head), index(head + changed - 1), {Qt::DisplayRole});
    if (rows > rows_) {
        beginInsertRows({}, head + changed, head + changed + rows - rows_ - 1);
        rows_ = rows;
        hashes_.swap(now);
        endInsertRows();
    } else if (rows < rows_) {
        beginRemoveRows({}, head + changed, head + changed + rows_ - rows - 1);
        rows_ = rows;
        hashes_.swap(now);
        endRemoveRows();
    } else {
        hashes_.swap(now);
    }
}
