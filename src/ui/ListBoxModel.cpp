#include "ui/ListBoxModel.h"

#include "container/List.h"

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
    const bool sameList = items == items_;
    const int rows = items ? int(items->GetItemCount()) : 0;
    if (rows != rows_ || !sameList) {
        beginResetModel();
        items_ = std::move(items);
        rows_ = rows;
        hashes_.resize(size_t(rows));
        for (int i = 0; i < rows; ++i)
            hashes_[size_t(i)] = HashOf(i);
        endResetModel();
        return;
    }
    int first = -1, last = -1;
    for (int i = 0; i < rows; ++i) {
        const size_t hash = HashOf(i);
        if (hash == hashes_[size_t(i)])
            continue;
        hashes_[size_t(i)] = hash;
        if (first < 0)
            first = i;
        last = i;
    }
    if (first >= 0)
        emit dataChanged(index(first), index(last), {Qt::DisplayRole});
}
