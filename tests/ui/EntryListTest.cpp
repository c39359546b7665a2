// The entry grid and its commands: add, edit and erase through the real dialog and links, with
// the grid, ProxyList and the settings file checked after each; the selection rule.
#include <algorithm>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "FormEditData.h"
#include "FormMain.h"
#include "FormOption.h"
#include "UiFixture.h"
#include "config/Inifile.h"
#include "config/ProfileFile.h"
#include "diag/Proginit.h"
#include "server/Server.h"

namespace {

using uitest::Cells;
using uitest::Entry;
using uitest::UiTest;

const Entry kA{"a.example", "smtp.a.example", 2, "ua", "pa", 587};
const Entry kB{"b.example", "smtp.b.example", 4, "ub", "pb", 25};
const Entry kC{"c.example", "192.0.2.3", 3, "uc", "pc", 465, SecurityTls};

class EntryListTest : public UiTest {
  protected:
    QLineEdit* E(const char* name) const { return Edit(w_.FrmEditData, name); }
    bool LinksShown() const {
        return Link("StaticTextEdit")->isVisibleTo(w_.FormMain) &&
               Link("StaticTextErase")->isVisibleTo(w_.FormMain);
    }
    bool LinksHidden() const {
        return !Link("StaticTextEdit")->isVisibleTo(w_.FormMain) &&
               !Link("StaticTextErase")->isVisibleTo(w_.FormMain);
    }
    // Types a whole entry into the open dialog and presses OK.
    void TypeEntryAndOk(const Entry& e) {
        for (const char* name : {"EditDomain", "EditSMTP", "EditUser", "EditPasswd", "EditPort"}) {
            E(name)->clear();
        }
        QTest::keyClicks(E("EditDomain"), QString::fromStdString(e.domain));
        QTest::keyClicks(E("EditSMTP"), QString::fromStdString(e.smtp));
        w_.FrmEditData->findChild<QComboBox*>("ComboBoxMethod")->setCurrentIndex(e.method);
        QTest::keyClicks(E("EditUser"), QString::fromStdString(e.user));
        QTest::keyClicks(E("EditPasswd"), QString::fromStdString(e.passwd));
        QTest::keyClicks(E("EditPort"), QString::number(e.port));
        QTest::mouseClick(Button(w_.FrmEditData, "ButtonOK"), Qt::LeftButton);
    }
    void ExpectStored(int n, const Entry& e) {
        const std::string num = QString::asprintf("%03d", n).toStdString();
        EXPECT_EQ(Key("Proxy", "Domain" + num), e.domain);
        EXPECT_EQ(Key("Proxy", "SMTP" + num), e.smtp);
        EXPECT_EQ(Key("Proxy", "Method" + num), std::to_string(e.method));
        EXPECT_EQ(Key("Proxy", "User" + num), e.user);
        EXPECT_EQ(Key("Proxy", "Passwd" + num),
                  QByteArray::fromStdString(e.passwd).toBase64().toStdString());
        EXPECT_EQ(Key("Proxy", "Port" + num), std::to_string(e.port));
        const ProxyData listed = ProxyList.At(n);
        EXPECT_EQ(listed.Index, n);
        EXPECT_EQ(listed.Domain, e.domain);
        EXPECT_EQ(listed.Passwd, e.passwd);
        EXPECT_EQ(listed.Port, e.port);
    }
    // The lock beside the port of a protected entry.
    bool Locked(int row) const {
        const QTableWidgetItem* item = Find<QTableWidget>("GridList")->item(row - 1, 4);
        return item != nullptr && !item->icon().isNull();
    }
    void ClickLink(const char* name) {
        QTest::mouseClick(Link(name), Qt::LeftButton, {}, QPoint(20, 8));
    }
};

TEST_F(EntryListTest, GridShowsHeaderEntriesAndABlankRowWithoutPasswords) {
    Start({kA, kB, {"d.example", "s", 7, "u", "secret", 1}});
    ASSERT_EQ(w_.FormMain->GridRowCount(), 5);
    EXPECT_EQ(Row(0), (std::vector<QString>{"ドメイン名", "SMTPサーバー名", "認証方式",
                                            "ユーザー名", "ポート番号"}));
    EXPECT_EQ(Row(1), Cells(kA, "LOGIN"));
    EXPECT_EQ(Row(2), Cells(kB, "CRAM-MD5"));
    EXPECT_EQ(Row(3)[2], "AUTO") << "an unknown method code shows as AUTO";
    EXPECT_EQ(Row(4), std::vector<QString>(5));
    auto* grid = Find<QTableWidget>("GridList");
    const int widths[] = {89, 108, 64, 64, 64};
    for (int col = 0; col < 5; ++col) {
        EXPECT_EQ(grid->columnWidth(col), widths[col]);
    }
    EXPECT_EQ(grid->findItems("secret", Qt::MatchContains).size(), 0);
    EXPECT_EQ(w_.FormMain->CurrentIndex, 0);
    EXPECT_TRUE(LinksShown());
}

TEST_F(EntryListTest, SelectionDecidesCurrentIndexAndLinks) {
    Start({kA, kB});
    auto* grid = Find<QTableWidget>("GridList");
    grid->setCurrentCell(1, 0); // row 2
    EXPECT_EQ(w_.FormMain->CurrentIndex, 1);
    EXPECT_TRUE(LinksShown());
    grid->setCurrentCell(2, 3); // the blank row
    EXPECT_TRUE(LinksHidden());
    EXPECT_EQ(w_.FormMain->CurrentIndex, 1) << "kept while the links are hidden";
    grid->setCurrentCell(0, 0);
    EXPECT_EQ(w_.FormMain->CurrentIndex, 0);
    EXPECT_TRUE(LinksShown());
}

TEST_F(EntryListTest, EmptyListHidesLinksAndDoubleClickAddsTheFirstEntry) {
    Start({});
    EXPECT_EQ(w_.FormMain->GridRowCount(), 2);
    EXPECT_TRUE(LinksHidden());
    auto* grid = Find<QTableWidget>("GridList");
    // Anywhere in the body, even below the blank row.
    WithModal(
        w_.FrmEditData,
        [&] { QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, QPoint(30, 80)); },
        [&] { TypeEntryAndOk(kA); });
    ASSERT_EQ(ProxyList.Count(), 1);
    EXPECT_EQ(w_.FormMain->GridRowCount(), 3);
    EXPECT_EQ(Row(1), Cells(kA, "LOGIN"));
    EXPECT_EQ(Row(2), std::vector<QString>(5));
    EXPECT_TRUE(LinksShown());
    EXPECT_EQ(w_.FormMain->CurrentIndex, 0);
    EXPECT_EQ(Key("Proxy", "Count"), "1");
    ExpectStored(0, kA);
    const auto trace = Trace();
    const auto add = std::find(trace.begin(), trace.end(), "Add(0)");
    ASSERT_NE(add, trace.end());
    EXPECT_EQ(*(add + 1), "AddCell(1)");
    EXPECT_FALSE(Traced("click=0")) << "the double click is no link click";
}

TEST_F(EntryListTest, AddLinkAppendsAfterExistingEntries) {
    Start({kA, kB});
    WithModal(
        w_.FrmEditData, [&] { ClickLink("StaticTextAdd"); }, [&] { TypeEntryAndOk(kC); });
    EXPECT_TRUE(Traced("click=0"));
    ASSERT_EQ(ProxyList.Count(), 3);
    EXPECT_EQ(w_.FormMain->GridRowCount(), 5);
    EXPECT_EQ(Row(3), Cells(kC, "PLAIN"));
    EXPECT_EQ(Key("Proxy", "Count"), "3");
    ExpectStored(2, kC);
    ExpectStored(0, kA);
}

TEST_F(EntryListTest, EditReadsTheFileAndReplacesInPlace) {
    Start({kA, kB, kC});
    // An outside edit of the file is what the dialog shows: it reads the entry from there.
    {
        ProfileFile f("Vellomir.ini");
        f.Write("Proxy", "User001", "outside");
        f.Flush();
    }
    Find<QTableWidget>("GridList")->setCurrentCell(1, 0);
    Entry changed = kB;
    changed.user = "ub2";
    changed.port = 70000;
    WithModal(
        w_.FrmEditData, [&] { ClickLink("StaticTextEdit"); },
        [&] {
            EXPECT_EQ(E("EditUser")->text(), "outside");
            EXPECT_EQ(E("EditPasswd")->text(), "pb");
            TypeEntryAndOk(changed);
        });
    EXPECT_TRUE(Traced("click=1"));
    ASSERT_EQ(ProxyList.Count(), 3);
    EXPECT_EQ(Row(2), Cells(changed, "CRAM-MD5"));
    EXPECT_EQ(Key("Proxy", "Count"), "3");
    ExpectStored(1, changed);
    ExpectStored(2, kC);
    EXPECT_EQ(w_.FormMain->CurrentIndex, 1);
}

TEST_F(EntryListTest, ProtectionTravelsFromTheDialogToTheFileAndBack) {
    Start({kA});
    auto* security = w_.FrmEditData->findChild<QComboBox*>("ComboBoxSecurity");
    const auto typePort = [&](const char* port) {
        E("EditPort")->selectAll();
        QTest::keyClicks(E("EditPort"), port);
        return security->currentIndex();
    };
    const QString pin = QStringList(32, QStringLiteral("aF")).join(':');
    WithModal(
        w_.FrmEditData, [&] { w_.FrmEditData->EditNew(); },
        [&] {
            EXPECT_EQ(typePort("465"), SecurityTls) << "from STARTTLS, a new entry's choice";
            EXPECT_EQ(typePort("587"), SecurityStartTls);
            security->setCurrentIndex(SecurityNone);
            EXPECT_EQ(typePort("465"), SecurityNone) << "only the TLS modes switch";
            security->setCurrentIndex(SecurityTls);
            E("EditCAFile")->setText("/etc/ca.pem");
            QTest::keyClicks(E("EditFingerprint"), pin + " z"); // blank and "z" are dropped
            TypeEntryAndOk({"d.example", "smtp.d.example", 1, "ud", "pd", 2465});
        });
    EXPECT_EQ(Key("Proxy", "Security001"), "2");
    EXPECT_EQ(Key("Proxy", "CAFile001"), "/etc/ca.pem");
    EXPECT_EQ(Key("Proxy", "Fingerprint001"), pin.toStdString());
    EXPECT_TRUE(Locked(2));
    WithModal(
        w_.FrmEditData, [&] { w_.FrmEditData->EditExisting(1); },
        [&] {
            EXPECT_EQ(security->currentText(), "SSL/TLS");
            EXPECT_EQ(E("EditCAFile")->text() + E("EditFingerprint")->text(), "/etc/ca.pem" + pin);
        });
}

TEST_F(EntryListTest, UnknownMethodIsStoredAsNoSelection) {
    Start({{"d.example", "s", 7, "u", "p", 25}});
    WithModal(
        w_.FrmEditData, [&] { w_.FormMain->GridListDblClick(); },
        [&] {
            EXPECT_EQ(w_.FrmEditData->findChild<QComboBox*>("ComboBoxMethod")->currentIndex(), -1);
            QTest::mouseClick(Button(w_.FrmEditData, "ButtonOK"), Qt::LeftButton);
        });
    EXPECT_EQ(Key("Proxy", "Method000"), "-1");
    EXPECT_EQ(ProxyList.At(0).Method, -1);
    EXPECT_EQ(Row(1)[2], "AUTO");
}

TEST_F(EntryListTest, CancelChangesNothing) {
    Start({kA, kB});
    const std::string before = SettingsText();
    WithModal(
        w_.FrmEditData, [&] { w_.FrmEditData->EditExisting(1); },
        [&] {
            QTest::keyClicks(E("EditUser"), "zzz");
            QTest::mouseClick(Button(w_.FrmEditData, "ButtonCancel"), Qt::LeftButton);
        });
    WithModal(
        w_.FrmEditData, [&] { w_.FrmEditData->EditNew(); },
        [&] {
            QTest::keyClicks(E("EditDomain"), "x");
            w_.FrmEditData->close(); // the close box
        });
    EXPECT_EQ(SettingsText(), before);
    EXPECT_EQ(ProxyList.Count(), 2);
    EXPECT_EQ(ProxyList.At(1).User, "ub");
    EXPECT_EQ(Row(2), Cells(kB, "CRAM-MD5"));
    EXPECT_EQ(w_.FormMain->GridRowCount(), 4);
    WithModal(
        w_.FrmEditData, [&] { w_.FrmEditData->EditExisting(1); },
        [&] { EXPECT_EQ(E("EditUser")->text(), "ub"); });
}

TEST_F(EntryListTest, EraseRenumbersAndRewritesTheSection) {
    const struct {
        std::vector<Entry> start;
        int eraseRow;
        std::vector<Entry> left;
        bool linksAfter;
        const char* why;
    } rows[] = {
        {{kA, kB, kC}, 2, {kA, kC}, true, "middle of three: the last moves up"},
        {{kA, kB, kC}, 1, {kB, kC}, true, "first of three"},
        {{kA, kB, kC}, 3, {kA, kB}, false, "last: the current row becomes the blank row"},
        {{kA}, 1, {}, false, "the only entry"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        Start(row.start);
        Find<QTableWidget>("GridList")->setCurrentCell(row.eraseRow - 1, 0);
        ClickLink("StaticTextErase");
        EXPECT_TRUE(Traced("click=2"));
        EXPECT_TRUE(Traced("Delete=" + std::to_string(row.eraseRow - 1)));
        const int n = static_cast<int>(row.left.size());
        ASSERT_EQ(ProxyList.Count(), n);
        EXPECT_EQ(w_.FormMain->GridRowCount(), n + 2);
        EXPECT_EQ(Key("Proxy", "Count"), std::to_string(n));
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(Row(i + 1), Cells(row.left[i], IniFile::MethodName(row.left[i].method)));
            EXPECT_EQ(Locked(i + 1), row.left[i].security != 0) << "the lock moves with its row";
            ExpectStored(i, row.left[i]);
        }
        EXPECT_EQ(Row(n + 1), std::vector<QString>(5));
        EXPECT_FALSE(Locked(n + 1)) << "the blank row";
        const std::string gone = QString::asprintf("%03d", n).toStdString();
        for (const char* key : {"Domain", "SMTP", "Method", "User", "Passwd", "Port"}) {
            EXPECT_EQ(SettingsText().find(key + gone + "="), std::string::npos) << key << gone;
        }
        EXPECT_EQ(w_.FormMain->GridCurrentRow(), row.eraseRow) << "the current row stays";
        EXPECT_EQ(row.linksAfter ? LinksShown() : LinksHidden(), true);
        delete w_.FormMain;
        w_ = {};
        serverStop();
        DebugResetForTest();
        QFile::remove(QString::fromLatin1(kDiagnosticFile));
    }
}

TEST_F(EntryListTest, LinksTurnRedOnlyWhileTheLeftButtonIsDown) {
    Start({kA});
    QLabel* link = Link("StaticTextLocalPort");
    const QColor rest = link->palette().color(QPalette::WindowText);
    for (Qt::MouseButton other : {Qt::RightButton, Qt::MiddleButton}) {
        QTest::mousePress(link, other, {}, QPoint(10, 5));
        EXPECT_EQ(link->palette().color(QPalette::WindowText), rest);
        QTest::mouseRelease(link, other, {}, QPoint(10, 5));
    }
    QTest::mousePress(link, Qt::LeftButton, {}, QPoint(10, 5));
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    WithModal(
        w_.FrmOption, [&] { QTest::mouseRelease(link, Qt::LeftButton, {}, QPoint(10, 5)); },
        [&] { EXPECT_EQ(link->palette().color(QPalette::WindowText), rest); });
    EXPECT_TRUE(Traced("click=10"));
    EXPECT_FALSE(Link("StaticTextAdd")->toolTip().isEmpty());
    EXPECT_TRUE(Link("StaticTextAdd")->font().underline());
}

} // namespace
