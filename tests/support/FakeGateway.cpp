#include "support/FakeGateway.h"

#include <QHash>
#include <QHostAddress>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const char* const kServiceType = "urn:schemas-upnp-org:service:WANIPConnection:1";
const int kMaxRequestSize = 1 << 16;

QByteArray RootDescription() {
    return QByteArray(
               "<?xml version=\"1.0\"?>\r\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
               "<specVersion><major>1</major><minor>0</minor></specVersion>"
               "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1"
               "</deviceType><friendlyName>Fake gateway</friendlyName>"
               "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1"
               "</deviceType><deviceList><device><deviceType>"
               "urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
               "<serviceList><service><serviceType>") +
           kServiceType +
           "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
           "<controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
           "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
           "</device></deviceList></device></deviceList></device></root>\r\n";
}

QByteArray HttpResponse(int status, const QByteArray& body) {
    const QByteArray reason = status == 200   ? "OK"
                              : status == 404 ? "Not Found"
                                              : "Internal Server Error";
    return "HTTP/1.1 " + QByteArray::number(status) + " " + reason +
           "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray SoapEnvelope(const QByteArray& inner) {
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
           inner + "</s:Body></s:Envelope>\r\n";
}

QByteArray SoapOk(const QString& action) {
    return HttpResponse(
        200, SoapEnvelope("<u:" + action.toLatin1() + "Response xmlns:u=\"" + kServiceType +
                          "\"></u:" + action.toLatin1() + "Response>"));
}

QByteArray SoapError(int code) {
    const QByteArray description = code == 718 ? "ConflictInMappingEntry" : "ActionFailed";
    return HttpResponse(
        500, SoapEnvelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError"
                          "</faultstring><detail><UPnPError "
                          "xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                          QByteArray::number(code) + "</errorCode><errorDescription>" +
                          description + "</errorDescription></UPnPError></detail></s:Fault>"));
}

}  // namespace

// Lives on the gateway's thread.
class FakeGateway::Worker : public QObject {
public:
    explicit Worker(FakeGateway* owner) : mp_owner(owner), mp_server(new QTcpServer(this)) {
        connect(mp_server, &QTcpServer::newConnection, this, &Worker::OnNewConnection);
    }

    quint16 Listen() {
        return mp_server->listen(QHostAddress::LocalHost, 0) ? mp_server->serverPort() : 0;
    }

private:
    void OnNewConnection() {
        while (QTcpSocket* socket = mp_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void OnReadyRead(QTcpSocket* socket) {
        QByteArray& input = m_inputs[socket];
        input += socket->readAll();
        if (input.size() > kMaxRequestSize) {
            socket->abort();
            return;
        }
        const int headerEnd = input.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray head = input.left(headerEnd);
        const QRegularExpressionMatch length =
            QRegularExpression("(?i)\r\ncontent-length:\\s*(\\d+)")
                .match(QString::fromLatin1(head));
        const int bodyLength = length.hasMatch() ? length.captured(1).toInt() : 0;
        if (input.size() < headerEnd + 4 + bodyLength)
            return;
        const QByteArray body = input.mid(headerEnd + 4, bodyLength);
        m_inputs.remove(socket);
        const QByteArray answer = Answer(head, body);
        int delay;
        {
            QMutexLocker lock(&mp_owner->m_mutex);
            delay = mp_owner->m_delayMs;
        }
        QTimer::singleShot(delay, socket, [socket, answer] {
            socket->write(answer);
            socket->disconnectFromHost();
        });
    }

    QByteArray Answer(const QByteArray& head, const QByteArray& body) {
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        const QByteArray method = requestLine.value(0);
        const QByteArray path = requestLine.value(1);
        QMutexLocker lock(&mp_owner->m_mutex);
        if (method == "GET" && path == "/rootDesc.xml") {
            ++mp_owner->m_descriptionFetches;
            return HttpResponse(200, RootDescription());
        }
        if (method != "POST" || path != "/ctl/IPConn")
            return HttpResponse(404, QByteArray());
        const QString text = QString::fromUtf8(body);
        Request request;
        const QRegularExpressionMatch action = QRegularExpression("<u:(\\w+)[\\s>]").match(text);
        request.action = action.captured(1);
        QRegularExpressionMatchIterator it =
            QRegularExpression("<(New\\w+)>([^<]*)</New\\w+>").globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            request.arguments.insert(m.captured(1), m.captured(2));
        }
        mp_owner->m_requests.append(request);
        if (request.action == "AddPortMapping") {
            const int code =
                mp_owner->m_addResults.isEmpty() ? 0 : mp_owner->m_addResults.takeFirst();
            return code == 0 ? SoapOk(request.action) : SoapError(code);
        }
        if (request.action == "DeletePortMapping")
            return SoapOk(request.action);
        return SoapError(401);
    }

    FakeGateway* mp_owner;
    QTcpServer* mp_server;
    QHash<QTcpSocket*, QByteArray> m_inputs;
};

FakeGateway::~FakeGateway() {
    if (mp_worker)
        mp_worker->deleteLater();
    m_thread.quit();
    m_thread.wait();
}

bool FakeGateway::Start() {
    if (mp_worker)
        return m_port != 0;
    mp_worker = new Worker(this);
    mp_worker->moveToThread(&m_thread);
    m_thread.start();
    quint16 port = 0;
    QMetaObject::invokeMethod(
        mp_worker, [this] { return mp_worker->Listen(); }, Qt::BlockingQueuedConnection, &port);
    m_port = port;
    return m_port != 0;
}

void FakeGateway::ScriptAddResults(const QList<int>& codes) {
    QMutexLocker lock(&m_mutex);
    m_addResults = codes;
}

void FakeGateway::SetResponseDelay(int ms) {
    QMutexLocker lock(&m_mutex);
    m_delayMs = ms;
}

QList<FakeGateway::Request> FakeGateway::Requests() const {
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int FakeGateway::DescriptionFetches() const {
    QMutexLocker lock(&m_mutex);
    return m_descriptionFetches;
}
