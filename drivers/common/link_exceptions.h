#pragma once

// The two link-fault exceptions every link layer throws and the polling
// cycle catches. They carry no data; what() is the standard one.
//   CDisconnectException  - the exchange failed for good (write failure,
//                           corrupt or unexpected reply, error answer,
//                           bound violation); not retried by a link layer.
//   CWrongPacketException - a reply was incomplete or overlong; the only
//                           fault a link layer retries itself.

#include <exception>

class CDisconnectException : public std::exception {};

class CWrongPacketException : public std::exception {};
