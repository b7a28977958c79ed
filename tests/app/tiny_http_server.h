#pragma once
// A one-response HTTP server on 127.0.0.1 for the update check's tests.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <memory>

// Answers every request with one canned response and records the requests it saw.
class TinyHttpServer : public QObject {
public:
    QByteArray status = "200 OK";
    QByteArray contentType = "text/xml; charset=utf-8";
    QByteArray body;
    QList<QByteArray> requests;

    TinyHttpServer()
    {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost, 0));
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                auto received = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
                    *received += socket->readAll();
                    if (!received->contains("\r\n\r\n")) {
                        return;
                    }
                    requests.append(*received);
                    QByteArray response = "HTTP/1.1 " + status + "\r\n";
                    if (!contentType.isEmpty()) {
                        response += "Content-Type: " + contentType + "\r\n";
                    }
                    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
                    socket->write(response + body);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QUrl address() const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/updates/list.plist").arg(m_server.serverPort()));
    }

private:
    QTcpServer m_server;
};
