#include "SyncController.h"

#include "Database.h"
#include "SecretStore.h"
#include "SyncTransport.h"
#include "WebDavTransport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <memory>

using namespace datasync;

SyncController::SyncController(Database *database, QStatusBar *statusBar, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_label(new QLabel(statusBar))
    , m_timer(new QTimer(this))
{
    m_label->setAccessibleName(QStringLiteral("同步状态"));
    m_label->hide();
    statusBar->addPermanentWidget(m_label);
    m_timer->setInterval(intervalMs);
    connect(m_timer, &QTimer::timeout, this, &SyncController::syncNow);
}

SyncController::~SyncController()
{
    m_stop = true;
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
    }
}

void SyncController::start()
{
    m_settings = SyncSettings::load();
    emit settingsLoaded(m_settings);
    m_timer->start();
    if (m_settings.isConfigured())
        launch(true);
}

void SyncController::setSettings(const SyncSettings &settings)
{
    const bool secretsChanged
        = settings.password != m_settings.password || settings.passphrase != m_settings.passphrase;
    m_settings = settings;
    m_settings.saveAddress();
    m_secretsLoaded = true; // what the person typed is what counts now
    if (!secretsChanged)
        return;
    // Written off the GUI thread: a keychain may take its time (or ask the person).
    const QString password = settings.password;
    const QString passphrase = settings.passphrase;
    QPointer<SyncController> self(this);
    QThread *writer = QThread::create([self, password, passphrase] {
        QString error;
        SecretStore::Status status
            = SecretStore::write(QString::fromLatin1(SecretStore::passwordKey), password, &error);
        if (status == SecretStore::Status::Ok)
            status = SecretStore::write(
                QString::fromLatin1(SecretStore::passphraseKey), passphrase, &error);
        if (status != SecretStore::Status::Ok)
            QMetaObject::invokeMethod(self, [self, error] {
                if (self)
                    self->setStatus(error, true);
            });
    });
    connect(writer, &QThread::finished, writer, &QObject::deleteLater);
    writer->start();
}

bool SyncController::isRunning() const
{
    return m_thread != nullptr;
}

void SyncController::syncNow()
{
    if (!m_settings.isConfigured())
        return;
    if (m_thread) {
        m_again = true; // once this one ends: it may have started before the latest changes
        return;
    }
    launch(!m_secretsLoaded);
}

void SyncController::setEditedItem(qint64 iid)
{
    SyncEngine::setHeldItems(iid > 0 ? QSet<qint64> {iid} : QSet<qint64>());
}

void SyncController::launch(bool loadSecrets)
{
    if (m_thread || !m_settings.isConfigured())
        return;
    m_stop = false;
    const SyncSettings settings = m_settings;
    const QString file = Database::databaseFilePath(m_database->rootPath);
    QPointer<SyncController> self(this);
    std::atomic_bool *stop = &m_stop;
    setStatus(QStringLiteral("正在同步…"), false);
    m_thread = QThread::create([self, settings, file, loadSecrets, stop] {
        SyncSettings used = settings;
        QString secretNote;
        if (loadSecrets) {
            QString error;
            QString value;
            SecretStore::Status status
                = SecretStore::read(QString::fromLatin1(SecretStore::passwordKey), &value, &error);
            if (status == SecretStore::Status::Ok)
                used.password = value;
            else if (status == SecretStore::Status::NoKeychain)
                secretNote = error;
            if (status != SecretStore::Status::NoKeychain
                && SecretStore::read(
                       QString::fromLatin1(SecretStore::passphraseKey), &value, &error)
                    == SecretStore::Status::Ok)
                used.passphrase = value;
        }
        SyncReport report;
        QString error;
        std::unique_ptr<SyncTransport> transport = used.transport(&error);
        if (!transport) {
            report.error = error;
        } else {
            if (auto *webdav = dynamic_cast<WebDavTransport *>(transport.get()))
                webdav->setStopFlag(stop);
            SyncEngine engine(file, transport.get());
            engine.setPassphrase(used.passphrase);
            engine.setStopFlag(stop);
            report = engine.run();
        }
        QMetaObject::invokeMethod(self, [self, report, secretNote, used, loadSecrets] {
            if (!self)
                return;
            if (loadSecrets && !self->m_secretsLoaded) {
                self->m_settings.password = used.password;
                self->m_settings.passphrase = used.passphrase;
                self->m_secretsLoaded = true;
                emit self->settingsLoaded(self->m_settings);
            }
            self->finished(report, secretNote);
        });
    });
    m_thread->start();
}

void SyncController::finished(const SyncReport &report, const QString &secretNote)
{
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (report.ok) {
        QString text = QStringLiteral("上次同步：%1，发送 %2 项，接收 %3 项")
                           .arg(time)
                           .arg(report.sent)
                           .arg(report.received);
        if (report.conflicts > 0)
            text += QStringLiteral("，%1 个冲突副本").arg(report.conflicts);
        if (report.tookNewIdentity)
            text += QLatin1Char('\n') + SyncEngine::newIdentityNote();
        if (!secretNote.isEmpty())
            text += QLatin1Char('\n') + secretNote;
        setStatus(text, false);
    } else {
        setStatus(QStringLiteral("同步失败（%1）：").arg(time) + report.error, true);
    }
    if (report.applied > 0 || report.tookServerTree)
        emit itemsChanged();
    if (m_again) {
        m_again = false;
        launch(false);
    }
}

void SyncController::finishBeforeClose()
{
    if (!m_settings.isConfigured())
        return;
    QElapsedTimer clock;
    clock.start();
    if (!m_thread)
        launch(!m_secretsLoaded);
    if (!m_thread)
        return;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(m_thread, &QThread::finished, &loop, &QEventLoop::quit);
    // Leave time for the stop itself: a unit of work ends within a fraction of a second.
    limit.start(qMax(0, closeLimitMs - 1000 - int(clock.elapsed())));
    if (m_thread->isRunning())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (m_thread && m_thread->isRunning()) {
        m_stop = true;
        m_thread->wait(1000);
    }
}

void SyncController::setStatus(const QString &text, bool failure)
{
    m_statusText = text;
    m_label->setText(text.section(QLatin1Char('\n'), 0, 0));
    m_label->setToolTip(text);
    m_label->setStyleSheet(failure ? QStringLiteral("QLabel { color:#b42318; }") : QString());
    m_label->setVisible(!text.isEmpty());
    emit statusChanged(text);
}
