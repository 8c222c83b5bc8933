#pragma once

// The live-video service as the client sees it: rooms, messages, devices, video frames and
// render views. Strings, lists and messages that cross the service boundary use the types below,
// whose memory goes only through iliveMalloc/iliveFree, so that both sides agree on the heap.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

void* iliveMalloc(size_t size);
void iliveFree(void* p);
void iliveMemCpy(void* dst, const void* src, size_t size);
size_t iliveStrLen(const char* s);

namespace ilive {

// A NUL-terminated byte string (UTF-8 by convention).
class String {
public:
    String() { assign("", 0); }
    String(const char* s) { assign(s ? s : "", s ? iliveStrLen(s) : 0); }
    String(const char* s, size_t size) { assign(s ? s : "", s ? size : 0); }
    String(const String& other) { assign(other.m_data, other.m_size); }
    String(String&& other) noexcept
        : m_data(other.m_data)
        , m_size(other.m_size)
    {
        other.m_data = nullptr;
        other.m_size = 0;
    }
    String& operator=(const String& other)
    {
        if (this != &other) {
            char* old = m_data;
            assign(other.m_data, other.m_size);
            iliveFree(old);
        }
        return *this;
    }
    String& operator=(String&& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        return *this;
    }
    ~String() { iliveFree(m_data); }

    const char* c_str() const { return m_data ? m_data : ""; }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    bool operator==(const String& other) const
    {
        if (m_size != other.m_size)
            return false;
        for (size_t i = 0; i < m_size; ++i)
            if (c_str()[i] != other.c_str()[i])
                return false;
        return true;
    }
    bool operator!=(const String& other) const { return !(*this == other); }

private:
    void assign(const char* s, size_t size)
    {
        m_data = static_cast<char*>(iliveMalloc(size + 1));
        if (size)
            iliveMemCpy(m_data, s, size);
        m_data[size] = '\0';
        m_size = size;
    }

    char* m_data = nullptr;
    size_t m_size = 0;
};

template <typename A, typename B> struct Pair {
    Pair() = default;
    Pair(const A& a, const B& b)
        : first(a)
        , second(b)
    {
    }
    A first {};
    B second {};
};

// A growable array whose storage comes from iliveMalloc.
template <typename T> class Vector {
public:
    Vector() = default;
    Vector(const Vector& other)
    {
        reserve(other.m_size);
        for (size_t i = 0; i < other.m_size; ++i)
            push_back(other.m_data[i]);
    }
    Vector(Vector&& other) noexcept
        : m_data(other.m_data)
        , m_size(other.m_size)
        , m_capacity(other.m_capacity)
    {
        other.m_data = nullptr;
        other.m_size = other.m_capacity = 0;
    }
    Vector& operator=(const Vector& other)
    {
        if (this != &other) {
            Vector copy(other);
            swap(copy);
        }
        return *this;
    }
    Vector& operator=(Vector&& other) noexcept
    {
        swap(other);
        return *this;
    }
    ~Vector()
    {
        clear();
        iliveFree(m_data);
    }

    void push_back(const T& value)
    {
        if (m_size == m_capacity)
            reserve(m_capacity ? m_capacity * 2 : 4);
        new (m_data + m_size) T(value);
        ++m_size;
    }
    void clear()
    {
        for (size_t i = 0; i < m_size; ++i)
            m_data[i].~T();
        m_size = 0;
    }
    void reserve(size_t capacity)
    {
        if (capacity <= m_capacity)
            return;
        T* fresh = static_cast<T*>(iliveMalloc(capacity * sizeof(T)));
        for (size_t i = 0; i < m_size; ++i) {
            new (fresh + i) T(std::move(m_data[i]));
            m_data[i].~T();
        }
        iliveFree(m_data);
        m_data = fresh;
        m_capacity = capacity;
    }
    void swap(Vector& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& operator[](size_t i) { return m_data[i]; }
    const T& operator[](size_t i) const { return m_data[i]; }
    T* begin() { return m_data; }
    T* end() { return m_data + m_size; }
    const T* begin() const { return m_data; }
    const T* end() const { return m_data + m_size; }

private:
    T* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// ---- messages --------------------------------------------------------------------------------

enum E_MessageElemType {
    TEXT = 0,
    CUSTOM = 1,
};

class MessageElem {
public:
    explicit MessageElem(E_MessageElemType t)
        : type(t)
    {
    }
    virtual ~MessageElem() = default;
    virtual MessageElem* clone() const = 0;
    void* operator new(size_t size) { return iliveMalloc(size); }
    void operator delete(void* p) { iliveFree(p); }

    E_MessageElemType type;
};

class MessageTextElem : public MessageElem {
public:
    MessageTextElem()
        : MessageElem(TEXT)
    {
    }
    explicit MessageTextElem(const String& text)
        : MessageElem(TEXT)
        , content(text)
    {
    }
    MessageElem* clone() const override { return new MessageTextElem(content); }

    String content;
};

class MessageCustomElem : public MessageElem {
public:
    MessageCustomElem()
        : MessageElem(CUSTOM)
    {
    }
    MessageCustomElem(const String& d, const String& e)
        : MessageElem(CUSTOM)
        , data(d)
        , ext(e)
    {
    }
    MessageElem* clone() const override { return new MessageCustomElem(data, ext); }

    String data;
    String ext;
};

// A message owns its elements; copies are deep.
class Message {
public:
    Message() = default;
    Message(const Message& other)
        : sender(other.sender)
    {
        for (const MessageElem* e : other.elems)
            elems.push_back(e->clone());
    }
    Message& operator=(const Message& other)
    {
        if (this != &other) {
            Message copy(other);
            std::swap(sender, copy.sender);
            elems.swap(copy.elems);
        }
        return *this;
    }
    ~Message()
    {
        for (MessageElem* e : elems)
            delete e;
    }

    String sender; // filled in by the service on delivery
    Vector<MessageElem*> elems; // in order
};

// ---- rooms -----------------------------------------------------------------------------------

enum E_EndpointEventId {
    EVENT_ID_NONE = 0,
    EVENT_ID_ENDPOINT_ENTER = 1,
    EVENT_ID_ENDPOINT_EXIT = 2,
    EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO = 3,
    EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO = 4,
    EVENT_ID_ENDPOINT_HAS_AUDIO = 5,
    EVENT_ID_ENDPOINT_NO_AUDIO = 6,
    EVENT_ID_ENDPOINT_HAS_SCREEN_VIDEO = 7,
    EVENT_ID_ENDPOINT_NO_SCREEN_VIDEO = 8,
};

typedef void (*iLiveSucCallback)(void* data);
typedef void (*iLiveErrCallback)(int code, const char* desc, void* data);
typedef void (*iLiveRoomDisconnectListener)(int reason, const char* errorInfo, void* data);
typedef void (*iLiveMemStatusListener)(E_EndpointEventId eventId, const Vector<String>& ids, void* data);

struct iLiveRoomOption {
    int roomKind = 0; // the client enters rooms with 1
    uint32_t roomId = 0; // the app server's av room id
    uint64_t authBits = 0; // all ones: every right in the room
    String controlRole; // "LiveMaster" for the teacher
    iLiveRoomDisconnectListener roomDisconnectListener = nullptr;
    iLiveMemStatusListener memberStatusListener = nullptr;
    void* data = nullptr;
};

// ---- devices and video -----------------------------------------------------------------------

enum E_DeviceOperationType {
    E_OpenCamera = 1,
    E_CloseCamera = 2,
    E_OpenExternalCapture = 3,
    E_CloseExternalCapture = 4,
    E_OpenMic = 5,
    E_CloseMic = 6,
    E_OpenPlayer = 7,
    E_ClosePlayer = 8,
    E_OpenScreenShare = 9,
    E_CloseScreenShare = 10,
};

enum E_VideoSrc {
    VIDEO_SRC_TYPE_NONE = 0,
    VIDEO_SRC_TYPE_CAMERA = 1,
    VIDEO_SRC_TYPE_SCREEN = 2,
};

enum E_ColorFormat {
    COLOR_FORMAT_I420 = 0,
    COLOR_FORMAT_RGB32 = 8, // 0xAARRGGBB per pixel, rows top to bottom
};

struct VideoFrameDesc {
    E_ColorFormat colorFormat = COLOR_FORMAT_RGB32;
    uint32_t width = 0;
    uint32_t height = 0;
    E_VideoSrc srcType = VIDEO_SRC_TYPE_NONE;
};

struct LiveVideoFrame {
    String identifier; // whose stream
    const uint8_t* data = nullptr;
    uint32_t dataSize = 0;
    VideoFrameDesc desc;
    uint64_t timestamp = 0; // ms
};

typedef void (*iLiveMessageListener)(const Message& msg, void* data);
typedef void (*iLiveForceOfflineListener)();
typedef void (*iLivePreviewListener)(const LiveVideoFrame* frame, void* data);
typedef void (*iLiveDeviceOperationListener)(E_DeviceOperationType oper, int retCode, void* data);

enum E_DeviceChangeType {
    // The microphone in use went away (unplugged); the sound comes from the device id now.
    E_MicReplaced = 1,
};
typedef void (*iLiveDeviceChangeListener)(E_DeviceChangeType type, const String& id, void* data);

// ---- render views ----------------------------------------------------------------------------

enum E_RootViewType {
    ROOT_VIEW_TYPE_ACCELERATED = 1,
    ROOT_VIEW_TYPE_SOFTWARE = 2,
};

enum E_ViewMode {
    VIEW_MODE_NONE = 0,
    VIEW_MODE_FIT = 1, // whole frame inside the view, bars around it
    VIEW_MODE_HIDDEN = 2, // view filled, frame cropped to its aspect
};

struct iLiveRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// How a stream is placed in a root view. An empty rect means the whole view.
struct iLiveView {
    iLiveView() = default;
    iLiveView(E_ViewMode m, bool e, iLiveRect r, int z)
        : mode(m)
        , exclusive(e)
        , rect(r)
        , zOrder(z)
    {
    }
    E_ViewMode mode = VIEW_MODE_FIT;
    bool exclusive = false; // the only stream shown in the view
    iLiveRect rect;
    int zOrder = 0;
};

class iLiveRootView {
public:
    virtual ~iLiveRootView() = default;
    virtual bool init(uintptr_t nativeWindow) = 0;
    virtual void uninit() = 0;
    virtual void destroy() = 0; // releases the view; the pointer is dead afterwards
    virtual E_RootViewType getRootViewType() = 0;
    virtual void setBackgroundColor(uint32_t argb) = 0;
    virtual bool doRender(const LiveVideoFrame* frame) = 0;
    virtual bool addView(const String& identifier, E_VideoSrc type, const iLiveView& view) = 0;
    virtual bool removeView(const String& identifier, E_VideoSrc type) = 0;
    virtual void removeAllView(bool repaint) = 0;
};

// ---- the service -----------------------------------------------------------------------------

class iLive {
public:
    virtual ~iLive() = default;

    virtual void setMessageCallBack(iLiveMessageListener listener, void* data) = 0;
    virtual void setForceOfflineCallback(iLiveForceOfflineListener listener) = 0;
    virtual void setRemoteVideoCallBack(iLivePreviewListener listener, void* data) = 0;
    virtual void setLocalVideoCallBack(iLivePreviewListener listener, void* data) = 0;
    virtual void setDeviceOperationCallback(iLiveDeviceOperationListener listener, void* data) = 0;
    virtual void setDeviceChangeCallback(iLiveDeviceChangeListener listener, void* data) = 0;
    virtual void setVideoColorFormat(E_ColorFormat format) = 0;

    // 0 = ok.
    virtual int init(int appId, int accountType, bool imSupport) = 0;
    virtual void release() = 0;
    virtual void login(
        const char* userId, const char* userSig, iLiveSucCallback suc, iLiveErrCallback err, void* data)
        = 0;
    virtual void logout(iLiveSucCallback suc, iLiveErrCallback err, void* data) = 0;

    virtual void createRoom(
        const iLiveRoomOption& option, iLiveSucCallback suc, iLiveErrCallback err, void* data)
        = 0;
    virtual void quitRoom(iLiveSucCallback suc, iLiveErrCallback err, void* data) = 0;

    virtual void sendGroupMessage(const Message& msg, iLiveSucCallback suc, iLiveErrCallback err, void* data)
        = 0;
    virtual void sendC2CMessage(
        const char* dstUser, const Message& msg, iLiveSucCallback suc, iLiveErrCallback err, void* data)
        = 0;

    // Device lists: (id, name) pairs; 0 = ok.
    virtual int getCameraList(Vector<Pair<String, String>>& cameras) = 0;
    virtual int getMicList(Vector<Pair<String, String>>& mics) = 0;
    virtual int getPlayerList(Vector<Pair<String, String>>& players) = 0;

    // Results arrive through the device-operation listener.
    virtual void openCamera(const char* id) = 0;
    virtual void closeCamera() = 0;
    virtual void openMic(const char* id) = 0;
    virtual void closeMic() = 0;
    virtual void openPlayer(const char* id) = 0;
    virtual void closePlayer() = 0;

    virtual bool getCurCameraState() = 0;
    virtual bool getCurMicState() = 0;
    virtual bool getCurPlayerState() = 0;
    // The device in use or last opened (an id from the lists; empty before the first open).
    // Opening another device while one is open switches to it.
    virtual String getCurCameraId() = 0;
    virtual String getCurMicId() = 0;
    virtual String getCurPlayerId() = 0;
    // How loud the microphone sends now, in dBFS (-200: nothing sent).
    virtual double getMicLevel() = 0;

    // Volumes 0-100; 0 = ok for the setters.
    virtual int setMicVolume(uint32_t value) = 0;
    virtual uint32_t getMicVolume() = 0;
    virtual int setPlayerVolume(uint32_t value) = 0;
    virtual uint32_t getPlayerVolume() = 0;

    // Screen share of a rectangle in global screen pixels, right and bottom exclusive.
    // openScreenShare reports through the device-operation listener (E_OpenScreenShare).
    virtual void openScreenShare(int left, int top, int right, int bottom, uint32_t fps) = 0;
    virtual int changeScreenShareSize(int left, int top, int right, int bottom) = 0;
    virtual void closeScreenShare() = 0;
    virtual int getScreenShareState() = 0; // non-zero while sharing
};

// Replaces the service and the render-view factory, for tests; null restores the shipped ones.
typedef iLiveRootView* (*iLiveRootViewFactory)();
void SetILiveForTesting(iLive* service, iLiveRootViewFactory factory);

} // namespace ilive

ilive::iLive* GetILive();
ilive::iLiveRootView* iLiveCreateRootView();
