// The Favourite Places dialogs and the view's two commands.

#include "places/add_favourite_dlg.h"
#include "places/favourites_dlg.h"
#include "places/place_files.h"
#include "ui/input_panel.h"
#include "ui_test_support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString kTitle = QStringLiteral("Northcombe");

QTreeWidgetItem* PlaceRow(const CFavouritesDlg& dialog, const QString& name) {
    const auto rows = dialog.PlaceList()->findItems(name, Qt::MatchExactly);
    return rows.isEmpty() ? nullptr : rows.first();
}

// Four places saved in an order unlike their sorted one.
void SavePlaces() {
    SavePlace(kTitle, "market", QPoint(11, 12));
    SavePlace(kTitle, "zoo", QPoint(21, 22));
    SavePlace(kTitle, "Home", QPoint(31, 32));
    SavePlace(kTitle, "Abbey", QPoint(41, 42));
}

QPoint RowCentre(const CFavouritesDlg& dialog, const QString& name) {
    return dialog.PlaceList()->visualItemRect(PlaceRow(dialog, name)).center();
}

} // namespace

class TestFavouritesDlg : public QObject {
    Q_OBJECT
private slots:
    void addTakesANameOfOneTo30Characters_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("refusal"); // empty: saved, and the dialog closes
        const QString tooLong("Please enter a Favourite Place name (max 30 characters)");
        QTest::newRow("30 characters") << QString(30, u'x') << QString();
        QTest::newRow("31 characters: refused") << QString(31, u'x') << tooLong;
        QTest::newRow("empty: refused") << QString() << tooLong;
        QTest::newRow("spaces count and stay") << QStringLiteral(" Quay ") << QString();
        QTest::newRow("existing name: moved") << QStringLiteral("market") << QString();
        QTest::newRow("a name no file can have: refused")
            << QStringLiteral("a/b")
            << QString("Please enter a Favourite Place name without / or \\ (and not . or ..)");
        QTest::newRow("a file that cannot be written: a warning")
            << QStringLiteral("stuck") << QString("The Favourite Place could not be saved.");
    }
    void addTakesANameOfOneTo30Characters() {
        QFETCH(QString, name);
        QFETCH(QString, refusal);
        const bool closes = refusal.isEmpty(); // and saved
        CTestRoot root;
        SavePlace(kTitle, "market", QPoint(11, 12));
        QVERIFY(root.MakeDir("Veldra/My Places/" + kTitle + "/stuck.plc/inside"));
        CScriptedUi ui;
        QList<bool> panel;
        SetInputPanelHandler([&](bool up) { panel.append(up); });
        CAddFavouriteDlg dialog;
        dialog.m_strMapTitle = kTitle;
        dialog.m_nX = 640;
        dialog.m_nY = -480;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        dialog.NameBox()->setFocus();
        QTest::keyClicks(dialog.NameBox(), name);
        QTest::keyClick(dialog.NameBox(), Qt::Key_Return); // Enter presses "Add"
        dialog.OkButton()->setFocus();
        SetInputPanelHandler({});
        QCOMPARE(panel, QList<bool>({true, false}));

        QCOMPARE(!dialog.isVisible(), closes);
        if (closes) {
            QVERIFY(ui.m_messages.empty());
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        } else {
            QCOMPARE(ui.MessageTexts(), QStringList{refusal});
            QCOMPARE(ui.m_messages[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QCOMPARE(ui.m_messages[0].icon,
                     name == "stuck" ? QMessageBox::Warning : QMessageBox::NoIcon);
            QCOMPARE(dialog.NameBox()->text(), name);
        }
        if (closes)
            QCOMPARE(LoadPlace(kTitle, name), std::optional<QPoint>(QPoint(640, -480)));
        else
            QCOMPARE(ListPlaces(kTitle), QStringList{"market"});
        if (name != QLatin1String("market"))
            QCOMPARE(LoadPlace(kTitle, "market"), std::optional<QPoint>(QPoint(11, 12)));
    }

    // Saved at zoom 2.0, shown at 0.5: the same spot, the cross as it was.
    void viewSavesTheMiddleAndCentresOnAPlace_data() {
        QTest::addColumn<bool>("cross");
        QTest::newRow("cross off stays off") << false;
        QTest::newRow("cross on stays on") << true;
    }
    void viewSavesTheMiddleAndCentresOnAPlace() {
        QFETCH(bool, cross);
        CSyntheticView w;
        CMapCanvas& canvas = w.canvas;
        canvas.CentreOnMapPosition({1000, 801}, 2.0,
                                   cross ? CTargetCross::Show : CTargetCross::Keep);
        CScriptedUi ui;
        ui.OnDialog<CAddFavouriteDlg>([](CAddFavouriteDlg& add) {
            add.NameBox()->setText("Spot");
            add.OkButton()->click();
            return add.result();
        });
        w.view.OnAddFavourite();
        QCOMPARE(LoadPlace(canvas.MapTitle(), "Spot"), std::optional<QPoint>(QPoint(1000, 801)));

        canvas.CentreOnMapPosition({400, 400}, 0.5, CTargetCross::Keep);
        ui.OnDialog<CFavouritesDlg>([](CFavouritesDlg& places) {
            places.reject();
            return places.result();
        });
        ui.OnDialog<CFavouritesDlg>([](CFavouritesDlg& places) {
            PlaceRow(places, "Spot")->setSelected(true);
            places.OnClickPlace();
            places.ShowButton()->click();
            return places.result();
        });
        w.view.OnShowFavourites();
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{200, 200}));
        w.view.OnShowFavourites();
        QCOMPARE(w.view.Viewport().Centre(), (CPoint{500, 400}));
        QCOMPARE(w.view.Viewport().Zoom(), 0.5);
        QCOMPARE(w.view.Overlays().ShowTargetCross(), cross);
    }

    void deleteAsksThenActsOnTheFirstSelected_data() {
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("No keeps the place") << QStringList{"market"} << int(QMessageBox::No)
                                            << QStringList{"Abbey", "Home", "market", "zoo"};
        QTest::newRow("Yes removes it") << QStringList{"zoo"} << int(QMessageBox::Yes)
                                        << QStringList{"Abbey", "Home", "market"};
        QTest::newRow("two selected: the first in sorted order")
            << QStringList{"zoo", "Abbey"} << int(QMessageBox::Yes)
            << QStringList{"Home", "market", "zoo"};
    }
    void deleteAsksThenActsOnTheFirstSelected() {
        QFETCH(QStringList, selected);
        QFETCH(int, answer);
        QFETCH(QStringList, left);
        CTestRoot root;
        SavePlaces();
        CScriptedUi ui;
        ui.Answer(answer);
        CFavouritesDlg dialog;
        dialog.m_strMapTitle = kTitle;
        dialog.OnInitDialog();
        QCOMPARE(RowTexts(dialog.PlaceList()), QStringList({"Abbey", "Home", "market", "zoo"}));
        for (const QString& name : selected)
            PlaceRow(dialog, name)->setSelected(true);
        dialog.OnClickPlace();
        dialog.DeleteButton()->click();
        const QString first = selected.contains("Abbey") ? "Abbey" : selected.first();
        QCOMPARE(ui.MessageTexts(),
                 QStringList{QStringLiteral("Are you sure you want to delete ") + first + "?"});
        QCOMPARE(ui.m_messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(ui.m_messages[0].icon, QMessageBox::NoIcon);
        QCOMPARE(RowTexts(dialog.PlaceList()), left);
        QCOMPARE(ListPlaces(kTitle).size(), left.size());
        if (answer == QMessageBox::Yes)
            QVERIFY(dialog.PlaceList()->selectedItems().isEmpty());
        QVERIFY(dialog.ShowButton()->isEnabled() && dialog.DeleteButton()->isEnabled());
    }

    void showOnMapNeedsASelectedPlace() {
        CTestRoot root;
        SavePlaces();
        CScriptedUi ui;
        CFavouritesDlg dialog;
        dialog.m_strMapTitle = kTitle;
        dialog.OnInitDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Favourite Places"));
        QCOMPARE(dialog.PlaceList()->headerItem()->text(0), QStringLiteral("Place"));
        QCOMPARE(dialog.PlaceList()->columnWidth(0), 200);
        QVERIFY(!dialog.ShowButton()->isEnabled() && !dialog.DeleteButton()->isEnabled());

        // A tap below the rows enables both buttons, which then do nothing.
        QWidget* viewport = dialog.PlaceList()->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 3));
        QVERIFY(dialog.ShowButton()->isEnabled() && dialog.DeleteButton()->isEnabled());
        dialog.ShowButton()->click();
        dialog.DeleteButton()->click();
        QVERIFY(dialog.isVisible() && ui.m_messages.empty());

        // Deleting the only selected place leaves "Show on Map" with nothing to show.
        QTest::mouseClick(viewport, Qt::LeftButton, {}, RowCentre(dialog, "market"));
        dialog.DeleteButton()->click();
        dialog.ShowButton()->click();
        QVERIFY(dialog.isVisible());
        QCOMPARE(QPoint(dialog.m_nChosenX, dialog.m_nChosenY), QPoint());

        // A double tap only selects; Enter then shows the first selected place.
        DoubleTap(viewport, RowCentre(dialog, "zoo"));
        QVERIFY(dialog.isVisible());
        PlaceRow(dialog, "Abbey")->setSelected(true);
        QTest::keyClick(dialog.PlaceList(), Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QPoint(dialog.m_nChosenX, dialog.m_nChosenY), QPoint(41, 42));
    }
};

QTEST_MAIN(TestFavouritesDlg)
#include "test_favourites_dlg.moc"
