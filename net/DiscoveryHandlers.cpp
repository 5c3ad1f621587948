// The "On this network" list of the "Connected to" page: this copy's announcement while online,
// the copies found, the check of both port plans and "Match ports", which fits this copy's ports to
// another's through the Online/Offline button's own handler.
//
// Discovery is a hint, never a permission: nothing here connects or changes a setting by itself.
// A click fills "IP:", a double click also clicks "Connect", and only "Match ports" changes ports.

#include "app/MainForm.h"

#include "common/ProgramError.h"
#include "net/AvahiClient.h"

#include <QDBusConnection>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkInterface>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>

namespace {
const QString kNeedsAvahi = QStringLiteral(
    "Finding copies on the network needs the Avahi service (the avahi-daemon package).");
const QString kNoneFound = QStringLiteral("No other copy is online on this network yet.");
const QString kWhatToCheck = QStringLiteral(
    "Nothing found for a while. Check on both computers: a firewall must let multicast DNS (UDP "
    "port 5353) and the four listening ports through; the Avahi service (avahi-daemon) must run; "
    "and both must be on the same network.");
constexpr int kAddressRole = Qt::UserRole;
constexpr int kRunIdRole = Qt::UserRole + 1;
constexpr int kNameRole = Qt::UserRole + 2;
constexpr int kNoneFoundHintMs = 10000; // online this long with nothing found: say what to check
const QString kIndent = QStringLiteral("   ");

QString addressText(uint32_t ipv4) {
    return QHostAddress(ipv4).toString();
}

uint16_t portOfField(const QLineEdit* field) {
    try {
        return resolvePort(field->text());
    } catch (const std::exception&) {
        return 0;
    }
}

// What tells a listed copy apart, the same for its entry and for the copy.
QString entryKey(const QString& name, const QString& address, qulonglong runId) {
    return name + '\n' + address + '\n' + QString::number(runId);
}
QString entryKey(const QListWidgetItem* item) {
    return entryKey(item->data(kNameRole).toString(), item->data(kAddressRole).toString(),
                    item->data(kRunIdRole).toULongLong());
}
QString entryKey(const FoundCopy& copy) {
    return entryKey(copy.name, addressText(copy.address), copy.announcement.runId);
}

// The nickname with the computer, since two people may well keep the same nickname.
QString labelOf(const FoundCopy& copy) {
    return copy.host.isEmpty() ? copy.name : copy.name + QStringLiteral(" on ") + copy.host;
}

// This computer's address as a copy at `theirs` sees it: the one on the same network, or theirs
// itself when that copy runs on this computer; 0 when none is known.
uint32_t ownAddressToward(uint32_t theirs) {
    const QList<QNetworkAddressEntry> entries = [] {
        QList<QNetworkAddressEntry> all;
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces())
            all += interface.addressEntries();
        return all;
    }();
    uint32_t sameNetwork = 0;
    for (const QNetworkAddressEntry& entry : entries) {
        bool isIPv4 = false;
        const uint32_t own = entry.ip().toIPv4Address(&isIPv4);
        if (!isIPv4)
            continue;
        if (own == theirs)
            return own;
        const int prefix = entry.prefixLength();
        const uint32_t mask = prefix <= 0 ? 0 : prefix >= 32 ? ~0u : ~0u << (32 - prefix);
        if (!sameNetwork && prefix > 0 && (own & mask) == (theirs & mask))
            sameNetwork = own;
    }
    return sameNetwork;
}
} // namespace

void TForm1::setUpDiscovery() {
    runId_ = newRunId();
    discovery_ = new AvahiClient(QDBusConnection::systemBus(), runId_, this);
    connect(discovery_, &AvahiClient::changed, this, [this] { showFoundCopies(); });
    connect(ListBox2, &QListWidget::itemClicked, this,
            [this] { guarded([this] { ListBox2Click(); }); });
    connect(ListBox2, &QListWidget::itemDoubleClicked, this,
            [this] { guarded([this] { ListBox2DblClick(); }); });
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* enter = new QShortcut(key, ListBox2, nullptr, nullptr, Qt::WidgetShortcut);
        connect(enter, &QShortcut::activated, this,
                [this] { guarded([this] { ListBox2DblClick(); }); });
    }
    connect(ListBox2, &QListWidget::currentItemChanged, this, [this] { showMatchButton(); });
    connect(Button7, &QPushButton::clicked, this, [this] { guarded([this] { Button7Click(); }); });
    Timer4 = new QTimer(this);
    Timer4->setSingleShot(true);
    Timer4->setInterval(kNoneFoundHintMs);
    connect(Timer4, &QTimer::timeout, this, [this] {
        noneFoundHint_ = true;
        showFoundCopies();
    });
    // Queued: the next step of "Match ports" starts once the attempt's own step has returned.
    connect(
        this, &TForm1::attemptFinished, this, [this] { guarded([this] { afterAttempt(); }); },
        Qt::QueuedConnection);
    showFoundCopies();
}

std::vector<FoundCopy> TForm1::foundCopies() const {
    return discovery_->copies();
}

PortPlan TForm1::fieldsPortPlan() const {
    PortPlan plan;
    const std::array<QLineEdit*, kChannelCount> listen = {Edit6, Edit8, Edit10, Edit15};
    const std::array<QLineEdit*, kChannelCount> send = {Edit13, Edit14, Edit17, Edit19};
    for (int c = 0; c < kChannelCount; ++c) {
        plan.listen[c] = portOfField(listen[c]);
        plan.send[c] = portOfField(send[c]);
    }
    return plan;
}

// While online the plan in effect is the one announced; offline, the one the fields would give.
PortPlan TForm1::portPlanInEffect() const {
    return publishedPlan_ ? *publishedPlan_ : fieldsPortPlan();
}

void TForm1::publishThisCopy() {
    publishedPlan_ = fieldsPortPlan();
    showFoundPage_ = connectedPeer == 0;
    announceThisCopy();
    showFoundCopies();
}

Announcement TForm1::ownAnnouncement() const {
    Announcement announcement{runId_, portPlanInEffect()};
    if (!ownKey_.isEmpty() && encryptionChoice_ != EncryptionChoice::Off) {
        announcement.encrypted = true;
        announcement.keyHint = ownKey_.left(kAnnouncedKeyHintBytes);
    }
    return announcement;
}

void TForm1::announceThisCopy() {
    if (publishedPlan_)
        discovery_->publish(announcedName(Edit5->text()),
                            publishedPlan_->listen[int(Channel::Chat)],
                            encodeTxt(ownAnnouncement()));
}

void TForm1::withdrawThisCopy() {
    publishedPlan_.reset();
    showFoundPage_ = false;
    discovery_->withdraw();
    showFoundCopies();
}

const FoundCopy* TForm1::selectedCopy(const std::vector<FoundCopy>& copies) const {
    const QListWidgetItem* item = ListBox2->currentItem();
    if (!item || !item->data(kRunIdRole).isValid())
        return nullptr;
    for (const FoundCopy& copy : copies)
        if (entryKey(copy) == entryKey(item))
            return &copy;
    return nullptr;
}

// Of the copies at the address, the one listening where this copy sends chat lines; a lone copy
// there is the one too. Two that fit equally are not told apart.
const FoundCopy* TForm1::copyAt(const std::vector<FoundCopy>& copies, uint32_t address) const {
    const uint16_t chatPort = portPlanInEffect().send[int(Channel::Chat)];
    std::vector<const FoundCopy*> atAddress, listening;
    for (const FoundCopy& copy : copies)
        if (copy.address == address) {
            atAddress.push_back(&copy);
            if (copy.announcement.plan.listen[int(Channel::Chat)] == chatPort)
                listening.push_back(&copy);
        }
    if (listening.size() == 1)
        return listening.front();
    return atAddress.size() == 1 ? atAddress.front() : nullptr;
}

// With the peer connected, both places come from the connection itself; otherwise from the
// address the copy was found at and this computer's address on that network.
bool TForm1::adaptsTo(const FoundCopy& copy) const {
    const PortPlan mine = portPlanInEffect();
    const uint16_t myChatPort = mine.listen[int(Channel::Chat)];
    if (connectedPeer != 0 && copy.address == connectedPeer && connectedSelf_ != 0)
        return thisCopyAdapts({connectedSelf_, myChatPort},
                              {connectedPeer, mine.send[int(Channel::Chat)]});
    return thisCopyAdapts({ownAddressToward(copy.address), myChatPort},
                          {copy.address, copy.announcement.plan.listen[int(Channel::Chat)]});
}

bool TForm1::needsMatching(const FoundCopy& copy) const {
    return !planProblems(portPlanInEffect(), copy.announcement.plan).isEmpty() && adaptsTo(copy) &&
           planIsSafeToSet(mirroredPlan(copy.announcement.plan));
}

const FoundCopy* TForm1::matchTarget(const std::vector<FoundCopy>& copies) const {
    if (connectedPeer != 0)
        return copyAt(copies, connectedPeer);
    if (const FoundCopy* selected = selectedCopy(copies))
        return selected;
    const FoundCopy* only = nullptr;
    for (const FoundCopy& copy : copies)
        if (needsMatching(copy)) {
            if (only)
                return nullptr;
            only = &copy;
        }
    return only;
}

QString TForm1::mismatchAdvice(const FoundCopy& copy) const {
    if (!adaptsTo(copy))
        return QStringLiteral("%1 matches its ports to yours: wait for it.").arg(labelOf(copy));
    if (!planIsSafeToSet(mirroredPlan(copy.announcement.plan)))
        return QStringLiteral("Its ports cannot be matched here (ports below 1024 that are not "
                              "the usual ones): agree on ports on the Options page.");
    return QStringLiteral("\"Match ports\" fits this copy's ports to %1.").arg(labelOf(copy));
}

void TForm1::showFoundCopies() {
    const QListWidgetItem* current = ListBox2->currentItem();
    const QString selected = current ? entryKey(current) : QString();
    ListBox2->clear();
    auto addLine = [this](const QString& text) {
        auto* line = new QListWidgetItem(text, ListBox2);
        line->setFlags(Qt::NoItemFlags);
    };
    const std::vector<FoundCopy> copies = discovery_->copies();
    if (!publishedPlan_ || !copies.empty()) {
        Timer4->stop();
        noneFoundHint_ = false;
    } else if (!noneFoundHint_ && !Timer4->isActive()) {
        Timer4->start();
    }
    if (discovery_->known() && !discovery_->available())
        addLine(kNeedsAvahi);
    else if (discovery_->available() && copies.empty())
        addLine(noneFoundHint_ ? kNoneFound + '\n' + kWhatToCheck : kNoneFound);
    const PortPlan mine = portPlanInEffect();
    for (const FoundCopy& copy : copies) {
        QStringList lines{copy.name + QStringLiteral("  ") + addressText(copy.address) +
                          (copy.host.isEmpty() ? QString() : QStringLiteral(", ") + copy.host)};
        const PairingMark mark = pairingMark(pairings_, copy.name, copy.announcement.keyHint);
        if (mark.kind != PairingMark::Kind::None)
            lines << kIndent + mark.text;
        if (copy.sharesName)
            lines << kIndent + QStringLiteral("Another copy listed has this name too: tell them "
                                              "apart by computer and address.");
        const QStringList problems = planProblems(mine, copy.announcement.plan);
        for (const QString& problem : problems)
            lines << kIndent + problem;
        if (!problems.isEmpty())
            lines << kIndent + mismatchAdvice(copy);
        auto* item = new QListWidgetItem(lines.join('\n'), ListBox2);
        item->setData(kAddressRole, addressText(copy.address));
        item->setData(kRunIdRole, qulonglong(copy.announcement.runId));
        item->setData(kNameRole, copy.name);
        if (mark.kind == PairingMark::Kind::Impostor)
            item->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
        if (entryKey(copy) == selected)
            ListBox2->setCurrentItem(item);
    }
    if (showFoundPage_ && !copies.empty() && connectedPeer == 0) {
        showFoundPage_ = false;
        PageControl1->setCurrentWidget(TabSheet5);
    }
    QStringList own;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            own << address.toString();
    Label5->setText(own.isEmpty()
                        ? QStringLiteral("This computer has no network address.")
                        : QStringLiteral("This computer: ") + own.join(QStringLiteral(", ")));
    showMatchButton();
}

void TForm1::showMatchButton() {
    const std::vector<FoundCopy> copies = discovery_->copies();
    const FoundCopy* copy = matchTarget(copies);
    Button7->setEnabled(copy && needsMatching(*copy));
}

void TForm1::ListBox2Click() {
    if (const QListWidgetItem* item = ListBox2->currentItem();
        item && item->data(kAddressRole).isValid())
        Edit2->setText(item->data(kAddressRole).toString());
}

void TForm1::ListBox2DblClick() {
    const QListWidgetItem* item = ListBox2->currentItem();
    if (!item || !item->data(kAddressRole).isValid())
        return;
    ListBox2Click();
    if (linkState_ == LinkState::Online) // Connect is usable
        BitBtn16->click();
}

// Offline first, then the fields, then online again: each through the Online/Offline button's
// click, each waiting for the attempt before it. A live connection goes only if the user says so.
void TForm1::Button7Click() {
    const std::vector<FoundCopy> copies = discovery_->copies();
    const FoundCopy* copy = matchTarget(copies);
    if (!copy || !needsMatching(*copy))
        return;
    if (connectedPeer != 0 &&
        !dialogs_.confirm(QStringLiteral("Matching ports takes this copy offline and online "
                                         "again, which drops the connection to %1. Go on?")
                              .arg(labelOf(*copy))))
        return;
    if (isLinkStep(linkState_) || matchStep_ != MatchStep::None)
        return;
    matchedPlan_ = mirroredPlan(copy->announcement.plan);
    if (!onlineToggled_) {
        applyMatchedPlan();
        return;
    }
    matchStep_ = MatchStep::GoingOffline;
    BitBtn18->click();
    if (!attemptRunning())
        matchStep_ = MatchStep::None;
}

void TForm1::applyMatchedPlan() {
    const std::array<QLineEdit*, kChannelCount> listen = {Edit6, Edit8, Edit10, Edit15};
    const std::array<QLineEdit*, kChannelCount> send = {Edit13, Edit14, Edit17, Edit19};
    for (int c = 0; c < kChannelCount; ++c) {
        listen[c]->setText(QString::number(matchedPlan_.listen[c]));
        send[c]->setText(QString::number(matchedPlan_.send[c]));
    }
    showFoundCopies();
}

void TForm1::afterAttempt() {
    if (matchStep_ == MatchStep::GoingOffline) {
        applyMatchedPlan();
        matchStep_ = MatchStep::GoingOnline;
        BitBtn18->click();
        if (!attemptRunning())
            matchStep_ = MatchStep::None;
    } else if (matchStep_ == MatchStep::GoingOnline) {
        matchStep_ = MatchStep::None;
    }
}

// A Connect to a copy whose plan does not meet would leave some channels silent and fail the
// download connection: it is told instead, with the entry picked for "Match ports".
bool TForm1::portsKnownNotToMeet(const QString& address) {
    bool isIPv4 = false;
    const uint32_t ipv4 = QHostAddress(address).toIPv4Address(&isIPv4);
    if (!isIPv4)
        return false;
    const std::vector<FoundCopy> copies = discovery_->copies();
    const FoundCopy* peer = copyAt(copies, ipv4);
    if (!peer)
        return false;
    const QStringList problems = planProblems(portPlanInEffect(), peer->announcement.plan);
    if (problems.isEmpty())
        return false;
    appendChatLog(QStringLiteral("Not connecting: the ports do not match those of %1: %2. %3")
                      .arg(labelOf(*peer), problems.join(QStringLiteral("; ")),
                           needsMatching(*peer)
                               ? QStringLiteral("Click \"Match ports\" on the \"Connected to\" "
                                                "page, then connect again.")
                               : mismatchAdvice(*peer)));
    for (int i = 0; i < ListBox2->count(); ++i)
        if (entryKey(ListBox2->item(i)) == entryKey(*peer))
            ListBox2->setCurrentItem(ListBox2->item(i));
    PageControl1->setCurrentWidget(TabSheet5);
    return true;
}
