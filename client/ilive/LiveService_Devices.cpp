// Devices and screen share of the shipped live-video service.
#include "LiveService.h"

#include "shell/GuiThread.h"

#include <QAbstractVideoSurface>
#include <QAudioDeviceInfo>
#include <QAudioInput>
#include <QAudioOutput>
#include <QCamera>
#include <QCameraInfo>
#include <QDebug>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVideoSurfaceFormat>

#include <cstring>
#include <functional>

// Receives the camera's frames as images, on the service's thread.
class CameraGrabber : public QAbstractVideoSurface {
public:
    CameraGrabber(QObject* owner, std::function<void(const QImage&)> sink)
        : QAbstractVideoSurface(owner)
        , m_owner(owner)
        , m_sink(std::move(sink))
    {
    }

    QList<QVideoFrame::PixelFormat> supportedPixelFormats(
        QAbstractVideoBuffer::HandleType type) const override
    {
        if (type != QAbstractVideoBuffer::NoHandle)
            return {};
        return { QVideoFrame::Format_RGB32, QVideoFrame::Format_ARGB32, QVideoFrame::Format_RGB24,
            QVideoFrame::Format_RGB565 };
    }

    bool present(const QVideoFrame& frame) override
    {
        QVideoFrame copy(frame);
        if (!copy.map(QAbstractVideoBuffer::ReadOnly))
            return false;
        const QImage::Format format = QVideoFrame::imageFormatFromPixelFormat(copy.pixelFormat());
        QImage image;
        if (format != QImage::Format_Invalid)
            image = QImage(copy.bits(), copy.width(), copy.height(), copy.bytesPerLine(), format).copy();
        copy.unmap();
        if (image.isNull())
            return false;
        RunOnGuiThread(m_owner, [sink = m_sink, image] { sink(image); });
        return true;
    }

private:
    QObject* m_owner;
    std::function<void(const QImage&)> m_sink;
};

namespace {

// The microphone's samples go nowhere yet: sound does not cross the relay.
class NullSink : public QIODevice {
public:
    using QIODevice::QIODevice;

protected:
    qint64 readData(char*, qint64) override { return 0; }
    qint64 writeData(const char*, qint64 len) override { return len; }
};

// Silence for the speaker, which has nothing to play until sound is carried.
class SilenceSource : public QIODevice {
public:
    using QIODevice::QIODevice;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxlen) override
    {
        std::memset(data, 0, size_t(maxlen));
        return maxlen;
    }
    qint64 writeData(const char*, qint64) override { return -1; }
};

using DeviceList = ilive::Vector<ilive::Pair<ilive::String, ilive::String>>;

void addDevice(DeviceList& list, const QString& id, const QString& name)
{
    const QByteArray i = id.toUtf8();
    const QByteArray n = name.toUtf8();
    list.push_back(ilive::Pair<ilive::String, ilive::String>(
        ilive::String(i.constData(), size_t(i.size())), ilive::String(n.constData(), size_t(n.size()))));
}

// Without a sound server the backend still lists one nameless device that cannot be opened.
QList<QAudioDeviceInfo> audioDevices(QAudio::Mode mode)
{
    QList<QAudioDeviceInfo> out;
    for (const QAudioDeviceInfo& info : QAudioDeviceInfo::availableDevices(mode))
        if (!info.isNull() && !info.deviceName().isEmpty())
            out << info;
    return out;
}

bool findAudioDevice(QAudio::Mode mode, const QString& id, QAudioDeviceInfo* out)
{
    for (const QAudioDeviceInfo& info : audioDevices(mode)) {
        if (info.deviceName() == id) {
            *out = info;
            return true;
        }
    }
    return false;
}

bool validRect(int left, int top, int right, int bottom)
{
    return right > left && bottom > top;
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

int LiveService::getCameraList(DeviceList& cameras)
{
    cameras.clear();
    for (const QCameraInfo& info : QCameraInfo::availableCameras())
        addDevice(cameras, info.deviceName(), info.description());
    return kOk;
}

int LiveService::getMicList(DeviceList& mics)
{
    mics.clear();
    for (const QAudioDeviceInfo& info : audioDevices(QAudio::AudioInput))
        addDevice(mics, info.deviceName(), info.deviceName());
    return kOk;
}

int LiveService::getPlayerList(DeviceList& players)
{
    players.clear();
    for (const QAudioDeviceInfo& info : audioDevices(QAudio::AudioOutput))
        addDevice(players, info.deviceName(), info.deviceName());
    return kOk;
}

// ---- camera ----------------------------------------------------------------------------------

void LiveService::openCamera(const char* id)
{
    if (m_cameraOn) {
        reportDevice(ilive::E_OpenCamera, kOk);
        return;
    }
    const QString wanted = QString::fromUtf8(id ? id : "");
    QCameraInfo found;
    for (const QCameraInfo& info : QCameraInfo::availableCameras())
        if (info.deviceName() == wanted)
            found = info;
    if (found.isNull()) {
        reportDevice(ilive::E_OpenCamera, kDeviceMissing);
        return;
    }
    m_camera = new QCamera(found, this);
    m_grabber = new CameraGrabber(this, [this](const QImage& image) { onCameraImage(image); });
    m_camera->setViewfinder(m_grabber);
    m_camera->start();
    if (m_camera->error() != QCamera::NoError) {
        qWarning() << "camera failed:" << m_camera->errorString();
        closeCameraNow();
        reportDevice(ilive::E_OpenCamera, kDeviceFailed);
        return;
    }
    m_cameraOn = true;
    announce(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO);
    onMemberEvent(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { m_userId });
    reportDevice(ilive::E_OpenCamera, kOk);
}

void LiveService::closeCameraNow()
{
    const bool wasOn = m_cameraOn;
    m_cameraOn = false;
    m_externalCapture = false;
    if (m_camera) {
        m_camera->stop();
        m_camera->deleteLater();
        m_camera = nullptr;
    }
    if (m_grabber) {
        m_grabber->deleteLater();
        m_grabber = nullptr;
    }
    if (wasOn) {
        announce(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO);
        onMemberEvent(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO, { m_userId });
    }
}

void LiveService::closeCamera()
{
    closeCameraNow();
    reportDevice(ilive::E_CloseCamera, kOk);
}

void LiveService::openExternalCapture()
{
    if (!m_cameraOn) {
        m_cameraOn = true;
        m_externalCapture = true;
        announce(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO);
        onMemberEvent(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { m_userId });
    }
    reportDevice(ilive::E_OpenExternalCapture, m_externalCapture ? kOk : kDeviceFailed);
}

void LiveService::closeExternalCapture()
{
    if (m_externalCapture)
        closeCameraNow();
    reportDevice(ilive::E_CloseExternalCapture, kOk);
}

bool LiveService::getCurCameraState()
{
    return m_cameraOn;
}

// ---- microphone and speaker ------------------------------------------------------------------

void LiveService::openMic(const char* id)
{
    if (m_mic) {
        reportDevice(ilive::E_OpenMic, kOk);
        return;
    }
    QAudioDeviceInfo info;
    if (!findAudioDevice(QAudio::AudioInput, QString::fromUtf8(id ? id : ""), &info)) {
        reportDevice(ilive::E_OpenMic, kDeviceMissing);
        return;
    }
    m_mic = new QAudioInput(info, info.preferredFormat(), this);
    m_mic->setVolume(m_micVolume / 100.0);
    m_micSink = new NullSink(this);
    m_micSink->open(QIODevice::WriteOnly);
    m_mic->start(m_micSink);
    if (m_mic->error() != QAudio::NoError) {
        closeMic();
        reportDevice(ilive::E_OpenMic, kDeviceFailed);
        return;
    }
    reportDevice(ilive::E_OpenMic, kOk);
}

void LiveService::closeMic()
{
    if (m_mic) {
        m_mic->stop();
        m_mic->deleteLater();
        m_mic = nullptr;
    }
    if (m_micSink) {
        m_micSink->deleteLater();
        m_micSink = nullptr;
    }
    reportDevice(ilive::E_CloseMic, kOk);
}

void LiveService::openPlayer(const char* id)
{
    if (m_player) {
        reportDevice(ilive::E_OpenPlayer, kOk);
        return;
    }
    QAudioDeviceInfo info;
    if (!findAudioDevice(QAudio::AudioOutput, QString::fromUtf8(id ? id : ""), &info)) {
        reportDevice(ilive::E_OpenPlayer, kDeviceMissing);
        return;
    }
    m_player = new QAudioOutput(info, info.preferredFormat(), this);
    m_player->setVolume(m_playerVolume / 100.0);
    m_playerSource = new SilenceSource(this);
    m_playerSource->open(QIODevice::ReadOnly);
    m_player->start(m_playerSource);
    if (m_player->error() != QAudio::NoError) {
        closePlayer();
        reportDevice(ilive::E_OpenPlayer, kDeviceFailed);
        return;
    }
    reportDevice(ilive::E_OpenPlayer, kOk);
}

void LiveService::closePlayer()
{
    if (m_player) {
        m_player->stop();
        m_player->deleteLater();
        m_player = nullptr;
    }
    if (m_playerSource) {
        m_playerSource->deleteLater();
        m_playerSource = nullptr;
    }
    reportDevice(ilive::E_ClosePlayer, kOk);
}

bool LiveService::getCurMicState()
{
    return m_mic != nullptr;
}

bool LiveService::getCurPlayerState()
{
    return m_player != nullptr;
}

int LiveService::setMicVolume(uint32_t value)
{
    if (value > 100)
        return kBadArgument;
    m_micVolume = value;
    if (m_mic)
        m_mic->setVolume(value / 100.0);
    return kOk;
}

int LiveService::setPlayerVolume(uint32_t value)
{
    if (value > 100)
        return kBadArgument;
    m_playerVolume = value;
    if (m_player)
        m_player->setVolume(value / 100.0);
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
    m_shareRect = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    m_shareTimer->start(int(1000 / qMin<uint32_t>(fps, 30)));
    if (!m_shareOn) {
        m_shareOn = true;
        announce(ilive::EVENT_ID_ENDPOINT_HAS_SCREEN_VIDEO);
    }
    reportDevice(ilive::E_OpenScreenShare, kOk);
}

int LiveService::changeScreenShareSize(int left, int top, int right, int bottom)
{
    if (!validRect(left, top, right, bottom))
        return kBadArgument;
    m_shareRect = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
    return kOk;
}

void LiveService::closeScreenShare()
{
    m_shareTimer->stop();
    if (m_shareOn) {
        m_shareOn = false;
        announce(ilive::EVENT_ID_ENDPOINT_NO_SCREEN_VIDEO);
    }
    reportDevice(ilive::E_CloseScreenShare, kOk);
}

void LiveService::grabScreen()
{
    if (!m_shareOn || !m_inRoom)
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
    const QPixmap shot = screen->grabWindow(
        0, area.x() - geometry.x(), area.y() - geometry.y(), area.width(), area.height());
    sendVideo(shot.toImage(), ilive::VIDEO_SRC_TYPE_SCREEN);
}
