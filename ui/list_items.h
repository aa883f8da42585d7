#pragma once

#include <QTreeWidgetItem>

// A list row that a sorted list keeps in ascending order of the text in its
// column 0, without regard to letter case ("alder" before "Beech"); rows
// that differ only in case follow the plain order of their characters.
class CTextSortedItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const QString a = text(0);
        const QString b = other.text(0);
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    }
};
