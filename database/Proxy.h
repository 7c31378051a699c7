// Proxy mode of the database layer: the request-reply exchange with a
// database proxy over the handle's ClientSocket.
#pragma once

#include <cstdint>

// Size of a reply header: eight little-endian 32-bit words.
constexpr int ProxyHeaderSize = 32;
// Largest payload a reply may announce. A larger announcement is taken as a
// damaged stream: the statement fails and the connection is dropped.
constexpr uint32_t ProxyPayloadLimit = 256u << 20;

// The proxy back end of the database layer (DbBackend in DbHandle.h): opens
// the connection named by the handle's server ("host[:port]"); sends each
// statement and reads the reply into the handle (insert id, affected rows,
// column count, payload). A broken connection is opened again and the
// statement sent again. A statement fails when no connection can be made,
// when it does not fit the send buffer beside its length (nothing is sent),
// or when the reply announces a payload beyond ProxyPayloadLimit or one that
// cannot be held (the connection is then dropped). A result longer than its
// payload is cut to the payload; the row walk stays inside the kept result:
// a row that it cuts short is not returned and ends the walk.
