// Secure transport of the request broker: the TLS settings a process gives
// before the ORB starts (inet::OrbManager::SetTls, or the --varnek-tls-...
// command-line options that TakeTlsOptions takes out of argv), and what the
// ORB's TLS connections tell about their peers.
//
// With TLS on, the ORB listens on giop:ssl: only, accepts and opens only
// TLS connections (bidirectional, so that notifications and signal blocks
// come back over the client's own connection), and registries are addressed
// as corbaloc:ssliop:. Both sides present a certificate signed by the CA
// they trust; the peer's identity is the common name of its certificate's
// subject.
//
// Thread-safety: the settings belong to start-up (before OrbManager::Init);
// CurrentCallPeer and LastServerIdentity read per-thread values that the
// ORB's interceptors set on the thread doing the call, and may be called
// from any thread.
#ifndef VARNEK_NETWORK_TLS_H
#define VARNEK_NETWORK_TLS_H

#include <string>

namespace inet {

struct TlsSettings {
  // PEM file of the certificate authorities whose certificates are trusted;
  // empty: TLS off (plain TCP, the default).
  std::string m_caFile;
  // PEM file holding this side's certificate and its private key.
  std::string m_keyFile;
  // Password of the private key; empty for a key without one.
  std::string m_keyPassword;
  // True: a peer without a certificate is refused. False: a peer may come
  // without one, but a certificate it does present must still be valid.
  bool m_requirePeerCertificate = true;

  bool IsOn() const { return !m_caFile.empty(); }
};

// The command-line options of the library (the ORB claims every -ORB...
// option, so they have a prefix of their own):
//   --varnek-tls-ca FILE          TlsSettings::m_caFile (switches TLS on)
//   --varnek-tls-key FILE         TlsSettings::m_keyFile
//   --varnek-tls-password TEXT    TlsSettings::m_keyPassword
//   --varnek-tls-peer-optional    m_requirePeerCertificate = false
// "--varnek-tls-ca=FILE" is accepted as well.
inline constexpr char c_tlsOptionPrefix[] = "--varnek-tls-";

// Removes the options of c_tlsOptionPrefix from argv (argv[0] stays; argv
// keeps its terminating null when it had one) and sets what they name in
// `settings`, leaving the other fields as they are. Returns true when at
// least one was found. Throws istd::Exception for an unknown option of the
// prefix, a missing value, or a key file without a CA file or the reverse.
bool TakeTlsOptions(int& argc, char** argv, TlsSettings& settings);

// Throws istd::Exception unless `settings` is off or names a readable CA
// file and a readable key file.
void CheckTlsSettings(const TlsSettings& settings);

// The peer of the request the calling ORB thread is serving: its address
// ("giop:ssl:127.0.0.1:40502", as the ORB names it) and the identity of its
// certificate (empty on a plain connection). Both empty outside a request
// that came over the network.
struct Peer {
  std::string m_address;
  std::string m_identity;
};
Peer CurrentCallPeer();

// The identity of the server that the last remote call made by the calling
// thread went to (empty before any, or over a plain connection).
std::string LastServerIdentity();

// The TLS handshakes the calling thread ran as a client (the ORB connects
// on the thread that makes the call), for telling why a connect failed:
// take a mark before the attempt, and after it failed ask
// TlsConnectFailure(mark). Only handshakes begun after the mark count:
//   "TLS handshake refused by the peer: certificate expired, peer \"x\""
//       the server's checks refused this side's certificate (the alert it
//       sent says why);
//   "TLS handshake refused here: self-signed certificate in certificate
//   chain, peer \"x\""
//       the server's certificate failed this side's checks;
//   "TLS handshake failed here: ..."
//       the server's answer was no TLS this side accepts;
//   "TLS handshake closed by the peer"
//       the server ended the connection in the middle of the handshake
//       without saying why (for instance one that speaks no TLS);
//   ""  no handshake of this thread failed since the mark (nobody listens,
//       the connection was there already, TLS is off, ...).
unsigned long TlsHandshakeMark();
std::string TlsConnectFailure(unsigned long mark);

namespace detail {
// Called by OrbManager::Init only. Before the ORB starts: hands `settings`
// to the ORB's TLS transport (the strings are copied and kept). After it:
// registers the interceptors behind CurrentCallPeer and LastServerIdentity
// and the one that frees OpenSSL's per-thread state as each thread of the
// ORB ends (again for every ORB: a destroyed ORB forgets them).
void ConfigureTlsTransport(const TlsSettings& settings);
void InstallTlsInterceptors();
}  // namespace detail

}  // namespace inet

#endif  // VARNEK_NETWORK_TLS_H
