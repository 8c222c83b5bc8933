// Devices and screen share of the shipped live-video service.
#include "LiveService.h"

#include "media/LiveMedia.h"
#include "media/MediaDevices.h"

#include <QDebug>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace {

using DeviceList = ilive::Vector<ilive::Pair<ilive::String, ilive::String>>;

void fillList(DeviceList& list, media::MediaDevices::Kind kind)
{
    list.clear();
    for (const auto& device : media::MediaDevices::list(kind)) {
        const QByteArray id = device.first.toUtf8();
        const QByteArray name = device.second.toUtf8();
        list.push_back(
            ilive::Pair<ilive::String, ilive::String>(ilive::String(id.constData(), size_t(id.size())),
                ilive::String(name.constData(), size_t(name.size()))));
    }
}

bool validRect(int left, int top, int right, int bottom)
{
    return right > left && bottom > top;
}

QString fromUtf8(const char* s)
{
    return QString::fromUtf8(s ? s : "");
}

} // namespace

void LiveService::reportDevice(ilive::E_DeviceOperationType op, int code)
{
    // Results come from the event loop, after the call that asked for them has returned.
    QTimer::singleShot(0, this, [this, op, code] {
        if (m_deviceListener)
            m_deviceListener(op, code, m_deviceData);
    });
}

void LiveService::setDeviceChangeCallback(ilive::iLiveDeviceChangeListener listener, void* data)
{
    m_deviceChange = listener;
    m_deviceChangeData = data;
}

void LiveService::watchDevices()
{
    connect(m_media, &LiveMedia::micMoved, this, [this](const QString& id) { m_micId = id; });
    connect(m_media, &LiveMedia::micReplaced, this, [this](const QString& id) {
        m_micId = id;
        if (m_deviceChange) {
            const QByteArray utf8 = id.toUtf8();
            m_deviceChange(ilive::E_MicReplaced, ilive::String(utf8.constData(), size_t(utf8.size())),
                m_deviceChangeData);
        }
    });
}

ilive::String LiveService::getCurCameraId()
{
    return m_cameraId.toUtf8().constData();
}

ilive::String LiveService::getCurMicId()
{
    return m_micId.toUtf8().constData();
}

ilive::String LiveService::getCurPlayerId()
{
    return m_playerId.toUtf8().constData();
}

double LiveService::getMicLevel()
{
    return m_micOn ? m_media->micLevel() : -200.0;
}

int LiveService::getCameraList(DeviceList& cameras)
{
    fillList(cameras, media::MediaDevices::Camera);
    return kOk;
}

int LiveService::getMicList(DeviceList& mics)
{
    fillList(mics, media::MediaDevices::Microphone);
    return kOk;
}

int LiveService::getPlayerList(DeviceList& players)
{
    fillList(players, media::MediaDevices::Speaker);
    return kOk;
}

// ---- camera ----------------------------------------------------------------------------------

void LiveService::openCamera(const char* id)
{
    const QString wanted = fromUtf8(id);
    if (m_cameraOn && wanted == m_cameraId) {
        reportDevice(ilive::E_OpenCamera, kOk);
        return;
    }
    if (!media::MediaDevices::exists(media::MediaDevices::Camera, wanted)) {
        reportDevice(ilive::E_OpenCamera, kDeviceMissing);
        return;
    }
    if (m_cameraOn) {
        // Another camera: the feed is made again with it.
        m_cameraId = wanted;
        m_media->setCamera(wanted);
        reportDevice(ilive::E_OpenCamera, kOk);
        return;
    }
    // The camera is seen by the room only through its media server: without one it counts as failed.
    m_media->whenReady([this, wanted](bool ok) {
        if (!ok) {
            reportDevice(ilive::E_OpenCamera, kDeviceFailed);
            return;
        }
        if (!m_cameraOn) {
            m_cameraOn = true;
            m_cameraId = wanted;
            m_media->setCamera(wanted);
            announce(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO);
            onMemberEvent(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { userId() });
        }
        reportDevice(ilive::E_OpenCamera, kOk);
    });
}

void LiveService::closeCameraNow()
{
    const bool wasOn = m_cameraOn;
    m_cameraOn = false;
    m_media->setCamera(QString());
    if (wasOn) {
        announce(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO);
        onMemberEvent(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO, { userId() });
    }
}

void LiveService::closeCamera()
{
    closeCameraNow();
    reportDevice(ilive::E_CloseCamera, kOk);
}

bool LiveService::getCurCameraState()
{
    return m_cameraOn;
}

// ---- microphone and speaker ------------------------------------------------------------------

void LiveService::openMic(const char* id)
{
    const QString wanted = fromUtf8(id);
    if (m_micOn && wanted == m_micId) {
        reportDevice(ilive::E_OpenMic, kOk);
        return;
    }
    if (!media::MediaDevices::exists(media::MediaDevices::Microphone, wanted)) {
        reportDevice(ilive::E_OpenMic, kDeviceMissing);
        return;
    }
    if (m_micOn) {
        // Another microphone, taken into the running feed.
        m_micId = wanted;
        m_media->setMic(wanted);
        reportDevice(ilive::E_OpenMic, kOk);
        return;
    }
    m_media->whenReady([this, wanted](bool ok) {
        if (ok && !m_micOn) {
            m_micOn = true;
            m_micId = wanted;
            m_media->setMicVolume(m_micVolume / 100.0);
            m_media->setMic(wanted);
        }
        reportDevice(ilive::E_OpenMic, ok ? kOk : kDeviceFailed);
    });
}

void LiveService::closeMic()
{
    m_micOn = false;
    m_media->setMic(QString());
    reportDevice(ilive::E_CloseMic, kOk);
}

void LiveService::openPlayer(const char* id)
{
    const QString wanted = fromUtf8(id);
    if (m_playerOn && wanted == m_playerId) {
        reportDevice(ilive::E_OpenPlayer, kOk);
        return;
    }
    if (!media::MediaDevices::exists(media::MediaDevices::Speaker, wanted)) {
        reportDevice(ilive::E_OpenPlayer, kDeviceMissing);
        return;
    }
    m_playerOn = true;
    m_playerId = wanted;
    m_media->setSpeakerVolume(m_playerVolume / 100.0);
    m_media->setSpeaker(wanted, true);
    reportDevice(ilive::E_OpenPlayer, kOk);
}

void LiveService::closePlayer()
{
    m_playerOn = false;
    m_media->setSpeaker(m_playerId, false);
    reportDevice(ilive::E_ClosePlayer, kOk);
}

bool LiveService::getCurMicState()
{
    return m_micOn;
}

bool LiveService::getCurPlayerState()
{
    return m_playerOn;
}

int LiveService::setMicVolume(uint32_t value)
{
    if (value > 100)
        return kBadArgument;
    m_micVolume = value;
    m_media->setMicVolume(value / 100.0);
    return kOk;
}

int LiveService::setPlayerVolume(uint32_t value)
{
    if (value > 100)
        return kBadArgument;
    m_playerVolume = value;
    m_media->setSpeakerVolume(value / 100.0);
    return kOk;
}

// ---- screen share ----------------------------------------------------------------------------

void LiveService::openScreenShare(int left, int top, int right, int bottom, uint32_t fps)
{
    if (!validRect(left, top, right, bottom) || fps == 0) {
        reportDevice(ilive::E_OpenScreenShare, kBadArgument);
        return;
    }
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) || !QGuiApplication::primaryScreen()) {
        reportDevice(ilive::E_OpenScreenShare, kDeviceMissing);
        return;
    }
    const QRect area(QPoint(left, top), QPoint(right - 1, bottom - 1));
    const int rate = int(qMin<uint32_t>(fps, 30));
    m_media->whenReady([this, area, rate](bool ok) {
        if (!ok) {
            reportDevice(ilive::E_OpenScreenShare, kDeviceFailed);
            return;
        }
        m_shareRect = area;
        // X11 has a capture source of its own; elsewhere (no display server, e.g. offscreen) the
        // screen is grabbed through Qt at the rate asked.
        const bool grabbed = QGuiApplication::platformName() != QLatin1String("xcb");
        m_media->setScreen(area, rate, grabbed);
        if (grabbed)
            m_shareTimer->start(1000 / rate);
        if (!m_shareOn) {
            m_shareOn = true;
            announce(ilive::EVENT_ID_ENDPOINT_HAS_SCREEN_VIDEO);
        }
        reportDevice(ilive::E_OpenScreenShare, kOk);
    });
}

int LiveService::changeScreenShareSize(int left, int top, int right, int bottom)
{
    if (!validRect(left, top, right, bottom))
        return kBadArgument;
    m_shareRect = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    m_media->changeScreenArea(m_shareRect);
    return kOk;
}

void LiveService::closeScreenShare()
{
    m_shareTimer->stop();
    m_media->stopScreen();
    if (m_shareOn) {
        m_shareOn = false;
        announce(ilive::EVENT_ID_ENDPOINT_NO_SCREEN_VIDEO);
    }
    reportDevice(ilive::E_CloseScreenShare, kOk);
}

void LiveService::grabScreen()
{
    if (!m_shareOn)
        return;
    QScreen* screen = QGuiApplication::screenAt(m_shareRect.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect geometry = screen->geometry();
    const QRect area = m_shareRect.intersected(geometry);
    if (area.isEmpty())
        return;
    const QImage shot
        = screen->grabWindow(0, area.x() - geometry.x(), area.y() - geometry.y(), area.width(), area.height())
              .toImage()
              .convertToFormat(QImage::Format_RGB32);
    media::VideoFrame frame;
    frame.width = shot.width();
    frame.height = shot.height();
    frame.data = QByteArray(reinterpret_cast<const char*>(shot.constBits()), int(shot.sizeInBytes()));
    m_media->pushScreenFrame(frame);
}
