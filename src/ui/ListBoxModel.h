// The rows of lstMain: a view over one of the Manager's lists, which it reads as the view draws.
// It keeps only what it needs to tell the view which rows changed: one hash per row shown.
#pragma once

#include <QAbstractListModel>

#include <memory>
#include <vector>

class List;

class ListBoxModel : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Makes the rows those of `items` (null: none): another list as one reset; the same list,
    // edited, as one range of changed rows and rows inserted or removed after it. Nothing is
    // announced when no row changed.
    void Show(std::shared_ptr<const List> items);

    bool Showing(const std::shared_ptr<const List>& items) const { return items == items_; }

    // A row's text as the list holds it now.
    QString Text(int row) const;

private:
    size_t HashOf(int row) const;

    std::shared_ptr<const List> items_;
    int rows_ = 0;
    std::vector<size_t> hashes_;
};
