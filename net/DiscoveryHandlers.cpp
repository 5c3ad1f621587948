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

namespace {
const QString kNeedsAvahi = QStringLiteral(
    "Finding copies on the network needs the Avahi service (the avahi-daemon package).");
const QString kNoneFound = QStringLiteral("No other copy is online on this network yet.");
constexpr int kAddressRole = Qt::UserRole;
constexpr int kRunIdRole = Qt::UserRole + 1;

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

QString adviceFor(const FoundCopy& copy, bool adapts) {
    return adapts ? QStringLiteral("\"Match ports\" fits this copy's ports to %1.").arg(copy.name)
                  : QStringLiteral("%1 matches its ports to yours: wait for it.").arg(copy.name);
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
    const PortPlan& plan = *publishedPlan_;
    discovery_->publish(announcedName(Edit5->text()), plan.listen[int(Channel::Chat)],
                        encodeTxt({runId_, plan}));
    showFoundCopies();
}

void TForm1::withdrawThisCopy() {
    publishedPlan_.reset();
    discovery_->withdraw();
    showFoundCopies();
}

const FoundCopy* TForm1::selectedCopy(std::vector<FoundCopy>& copies) const {
    const QListWidgetItem* item = ListBox2->currentItem();
    if (!item || !item->data(kRunIdRole).isValid())
        return nullptr;
    const uint64_t runId = item->data(kRunIdRole).toULongLong();
    for (const FoundCopy& copy : copies)
        if (copy.announcement.runId == runId)
            return &copy;
    return nullptr;
}

void TForm1::showFoundCopies() {
    const QListWidgetItem* current = ListBox2->currentItem();
    const QVariant selectedRunId = current ? current->data(kRunIdRole) : QVariant();
    ListBox2->clear();
    auto addLine = [this](const QString& text) {
        auto* line = new QListWidgetItem(text, ListBox2);
        line->setFlags(Qt::NoItemFlags);
    };
    const std::vector<FoundCopy> copies = discovery_->copies();
    if (discovery_->known() && !discovery_->available())
        addLine(kNeedsAvahi);
    else if (discovery_->available() && copies.empty())
        addLine(kNoneFound);
    const PortPlan mine = portPlanInEffect();
    for (const FoundCopy& copy : copies) {
        QStringList lines{copy.name + QStringLiteral("  ") + addressText(copy.address)};
        const QStringList problems = planProblems(mine, copy.announcement.plan);
        for (const QString& problem : problems)
            lines << QStringLiteral("   ") + problem;
        if (!problems.isEmpty())
            lines << QStringLiteral("   ") +
                         adviceFor(copy, thisCopyAdapts(runId_, copy.announcement.runId));
        auto* item = new QListWidgetItem(lines.join('\n'), ListBox2);
        item->setData(kAddressRole, addressText(copy.address));
        item->setData(kRunIdRole, qulonglong(copy.announcement.runId));
        if (item->data(kRunIdRole) == selectedRunId)
            ListBox2->setCurrentItem(item);
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
    std::vector<FoundCopy> copies = discovery_->copies();
    const FoundCopy* copy = selectedCopy(copies);
    Button7->setEnabled(copy && thisCopyAdapts(runId_, copy->announcement.runId) &&
                        !planProblems(portPlanInEffect(), copy->announcement.plan).isEmpty());
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
// click, each waiting for the attempt before it.
void TForm1::Button7Click() {
    std::vector<FoundCopy> copies = discovery_->copies();
    const FoundCopy* copy = selectedCopy(copies);
    if (!copy || isLinkStep(linkState_) || matchStep_ != MatchStep::None)
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

void TForm1::checkPortsAfterConnect(const QString& address) {
    connectChecked_ = address;
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
    if (!connectChecked_.isEmpty())
        tellPortMismatch(std::exchange(connectChecked_, QString()));
}

// After a Connect to a copy found on the network, a plan that does not meet is told once in the
// chat log. Of several copies at the address, the one listening where this copy sends chat lines
// is the one Connect reached.
void TForm1::tellPortMismatch(const QString& address) {
    bool isIPv4 = false;
    const uint32_t ipv4 = QHostAddress(address).toIPv4Address(&isIPv4);
    if (!isIPv4)
        return;
    const PortPlan mine = portPlanInEffect();
    std::vector<FoundCopy> atAddress;
    for (const FoundCopy& copy : discovery_->copies())
        if (copy.address == ipv4)
            atAddress.push_back(copy);
    const FoundCopy* peer = atAddress.size() == 1 ? &atAddress.front() : nullptr;
    for (const FoundCopy& copy : atAddress)
        if (copy.announcement.plan.listen[int(Channel::Chat)] == mine.send[int(Channel::Chat)])
            peer = &copy;
    if (!peer)
        return;
    const QStringList problems = planProblems(mine, peer->announcement.plan);
    if (problems.isEmpty())
        return;
    const QString advice =
        thisCopyAdapts(runId_, peer->announcement.runId)
            ? QStringLiteral("Click \"Match ports\" on the \"Connected to\" page to fit them.")
            : adviceFor(*peer, false);
    appendChatLog(QStringLiteral("Ports do not match those of %1: %2. %3")
                      .arg(peer->name, problems.join(QStringLiteral("; ")), advice));
}
