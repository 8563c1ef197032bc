// The ORB manager: Init and its options, the two adapters, activation and
// deactivation, the inactive states, reference strings. Each test runs its
// ORB in a forked child (orbtest::RunOrbChild) inside the loopback-only
// namespace.
#include <gtest/gtest.h>

#include <sstream>

#include "network/inet.h"
#include "network/orb_test_util.h"

namespace {

using orbtest::Put;

std::string Port(unsigned int port) { return std::to_string(port); }

void ExpectCleanExit(orbtest::Report& r) {
  EXPECT_EQ(r["error"], "");
  EXPECT_EQ(r["exit"], "0");
}

TEST(OrbManagerTest, InitWithPortZeroPublishesAFreePortAndKeepsArgv) {
  orbtest::Report r = orbtest::RunOrbChild([] {
    char a0[] = "prog", a1[] = "-ORBtraceLevel", a2[] = "0", a3[] = "rest";
    char* argv[] = {a0, a1, a2, a3, nullptr};
    inet::OrbManager::Init(4, argv, 0, inet::OrbManager::c_defaultMaxMsgSize);
    Put("argv", std::string(argv[0]) + " " + argv[1] + " " + argv[2] + " " + argv[3]);
    i_NET::Pingable_var self = inet::OM()->GetPingable();
    const unsigned int port = orbtest::PublishedPort(self);
    Put("port", port);
    Put("listening", orbtest::CanConnect(port));
    Put("maxMsgSize", omniORB::giopMaxMsgSize());
    std::ostringstream text;
    text << static_cast<CORBA::Object_ptr>(self.in());
    Put("objectText", text.str());
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["argv"], "prog -ORBtraceLevel 0 rest") << "the caller's argv is left alone";
  EXPECT_NE(r["port"], "0");
  EXPECT_EQ(r["listening"], "1");
  EXPECT_EQ(r["maxMsgSize"], "536870932");
  EXPECT_EQ(r["objectText"], "CORBA::#IDL:varnek.net/i_NET/Pingable:1.0");
}

TEST(OrbManagerTest, InitWithAFixedPortServesPersistentKeysThere) {
  const unsigned int port = orbtest::FreePort();
  orbtest::Report r = orbtest::RunOrbChild([port] {
    inet::OrbManager::Init(0, nullptr, port, 1000000);
    inet::OrbManager* om = inet::OM();
    i_NET::Pingable_var self = om->GetPingable();
    Put("published", orbtest::PublishedPort(self));
    Put("maxMsgSize", omniORB::giopMaxMsgSize());

    auto* servant = new inet::i_Pingable_impl;
    om->ActivatePersistent(servant, "fixed-key");
    const std::string address = "corbaloc:iiop:127.0.0.1:" + Port(port) + "/fixed-key";
    {
      orbtest::PeerProcess peer({"ping", address});
      Put("pingByKey", peer.ReadValue("ping"));
    }
    om->DeactivatePersistent(servant);
    {
      orbtest::PeerProcess peer({"ping", address});
      Put("pingAfterDeactivate", peer.ReadValue("ping"));
    }
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["published"], Port(port));
  EXPECT_EQ(r["maxMsgSize"], "1000000");
  EXPECT_EQ(r["pingByKey"], "ok");
  EXPECT_EQ(r["pingAfterDeactivate"].rfind("CORBA::OBJECT_NOT_EXIST#", 0), 0u)
      << r["pingAfterDeactivate"];
}

TEST(OrbManagerTest, SecondInitChangesNothing) {
  const unsigned int secondPort = orbtest::FreePort();
  orbtest::Report r = orbtest::RunOrbChild([secondPort] {
    inet::OrbManager::Init(0, nullptr, 0, 2000000);
    inet::OrbManager* om = inet::OM();
    i_NET::Pingable_var before = om->GetPingable();
    const std::string first = om->ObjectToString(before);
    inet::OrbManager::Init(0, nullptr, secondPort, 3000000);
    i_NET::Pingable_var after = om->GetPingable();
    Put("sameReference", om->ObjectToString(after) == first);
    Put("maxMsgSize", omniORB::giopMaxMsgSize());
    Put("secondPortListening", orbtest::CanConnect(secondPort));
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["sameReference"], "1");
  EXPECT_EQ(r["maxMsgSize"], "2000000");
  EXPECT_EQ(r["secondPortListening"], "0");
}

TEST(OrbManagerTest, InitOnATakenPortThrowsAndLeavesNoHalfInitialisedOrb) {
  orbtest::Report r = orbtest::RunOrbChild([] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd, 1);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const unsigned int taken = ntohs(addr.sin_port);
    try {
      inet::OrbManager::Init(0, nullptr, taken, inet::OrbManager::c_defaultMaxMsgSize);
      Put("takenPort", "no exception");
    } catch (const CORBA::SystemException& e) {
      Put("takenPort", e._name());
    }
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    i_NET::Pingable_var self = inet::OM()->GetPingable();
    Put("retryHasPingable", !CORBA::is_nil(self));
    if (!CORBA::is_nil(self))
      Put("retryListening", orbtest::CanConnect(orbtest::PublishedPort(self)));
    ::close(fd);
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["takenPort"], "INITIALIZE");
  EXPECT_EQ(r["retryHasPingable"], "1") << "the failed ORB was not kept";
  EXPECT_EQ(r["retryListening"], "1");
}

TEST(OrbManagerTest, ProcessExitDestroysALiveOrb) {
  testutil::ChildResult r = testutil::RunInChild(
      [] {
        inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
        auto* servant = new inet::i_Pingable_impl;
        inet::OM()->ActivatePersistent(servant, inet::c_defaultNetId);
        // The adapter holds the only reference now: the ORB's destruction at
        // exit releases the servant.
        servant->_remove_ref();
        std::cout << "initialised" << std::endl;
      },
      true);
  EXPECT_EQ(r.output, "initialised\n");
  EXPECT_EQ(r.exitCode, 0) << "the singleton's destructor destroys the ORB without a crash";
}

TEST(OrbManagerTest, ActivatesAndDeactivatesInBothAdapters) {
  orbtest::Report r = orbtest::RunOrbChild([] {
    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    inet::OrbManager* om = inet::OM();
    int noArgs = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(noArgs, nullptr, "omniORB4");  // the manager's ORB
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(obj);
    PortableServer::POA_var bidir = root->find_POA("NET-bidir", false);
    obj = orb->resolve_initial_references("omniINSPOA");
    PortableServer::POA_var ins = PortableServer::POA::_narrow(obj);

    // The ping object lives in NET-bidir (reference_to_id throws WrongAdapter
    // otherwise).
    i_NET::Pingable_var self = om->GetPingable();
    PortableServer::ObjectId_var pingId = bidir->reference_to_id(self);
    Put("pingInBidir", 1);

    // Transient activation; Deactivate drops the creator's reference.
    auto* servant = new inet::i_Pingable_impl;
    servant->_add_ref();  // the test's own reference, to watch the count
    om->Activate(servant);
    Put("activatedRefs", servant->_refcount_value());
    i_NET::Pingable_var ref = servant->_this();
    PortableServer::ObjectId_var id = bidir->reference_to_id(ref);
    ref->Ping();
    CORBA::Object_var parsed = om->StringToObject(om->ObjectToString(ref));
    Put("roundTrip", parsed->_is_equivalent(ref));
    om->Deactivate(servant);
    Put("deactivatedRefs", servant->_refcount_value());
    try {
      om->Deactivate(servant);
    } catch (const PortableServer::POA::ServantNotActive&) {
      Put("deactivateAgain", "ServantNotActive");
    }
    servant->_remove_ref();

    // Persistent activation under a key, reachable by corbaloc.
    auto* keyed = new inet::i_Pingable_impl;
    keyed->_add_ref();
    om->ActivatePersistent(keyed, "key-1");
    PortableServer::ObjectId_var keyId = ins->servant_to_id(keyed);
    CORBA::String_var key = PortableServer::ObjectId_to_string(keyId);
    Put("persistentKey", key.in());
    const unsigned int port = orbtest::PublishedPort(self);
    CORBA::Object_var byKey =
        om->StringToObject("corbaloc:iiop:127.0.0.1:" + Port(port) + "/key-1");
    i_NET::Pingable_var keyedRef = i_NET::Pingable::_narrow(byKey);
    keyedRef->Ping();
    Put("pingByKey", "ok");
    auto* other = new inet::i_Pingable_impl;
    try {
      om->ActivatePersistent(other, "key-1");
    } catch (const PortableServer::POA::ObjectAlreadyActive&) {
      Put("sameKeyAgain", "ObjectAlreadyActive");
    }
    other->_remove_ref();
    om->DeactivatePersistent(keyed);
    Put("persistentDeactivatedRefs", keyed->_refcount_value());
    keyed->_remove_ref();

    try {
      CORBA::Object_var junk = om->StringToObject("no reference");
    } catch (const CORBA::SystemException& e) {
      Put("junk", inet::CORBASysExceptionToString(e));
    }
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["pingInBidir"], "1");
  EXPECT_EQ(r["activatedRefs"], "3");
  EXPECT_EQ(r["roundTrip"], "1");
  EXPECT_EQ(r["deactivatedRefs"], "1") << "the POA's and the creator's references are gone";
  EXPECT_EQ(r["deactivateAgain"], "ServantNotActive");
  EXPECT_EQ(r["persistentKey"], "key-1");
  EXPECT_EQ(r["pingByKey"], "ok");
  EXPECT_EQ(r["sameKeyAgain"], "ObjectAlreadyActive");
  EXPECT_EQ(r["persistentDeactivatedRefs"], "1");
  EXPECT_EQ(r["junk"], "CORBA::BAD_PARAM#BAD_PARAM_BadSchemeName");
}

// Calls every activation operation with `a` (not active anywhere) and `b`
// (active in NET-bidir) and reports both reference counts under `phase`.
void TryActivation(const std::string& phase, inet::i_Pingable_impl* a, inet::i_Pingable_impl* b) {
  inet::OrbManager* om = inet::OM();
  om->Activate(a);
  om->ActivatePersistent(a, "phase-key");
  om->Deactivate(b);
  om->DeactivatePersistent(b);
  Put(phase + ".a", a->_refcount_value());
  Put(phase + ".b", b->_refcount_value());
  i_NET::Pingable_var ping = om->GetPingable();
  Put(phase + ".pingable", !CORBA::is_nil(ping));
}

TEST(OrbManagerTest, ActivationOutsideTheActiveStateDoesNothing) {
  orbtest::Report r = orbtest::RunOrbChild([] {
    inet::OrbManager* om = inet::OM();
    auto* a = new inet::i_Pingable_impl;
    auto* b = new inet::i_Pingable_impl;
    TryActivation("beforeInit", a, b);
    om->HoldRequests();  // no ORB yet: nothing to do
    om->ORBShutdown(true);
    om->ORBDestroy();

    inet::OrbManager::Init(0, nullptr, 0, inet::OrbManager::c_defaultMaxMsgSize);
    om->Activate(b);
    Put("active.b", b->_refcount_value());
    om->HoldRequests();
    TryActivation("held", a, b);
    om->ORBShutdown(true);
    TryActivation("shutdown", a, b);
    om->ORBDestroy();
    TryActivation("destroyed", a, b);
    om->ORBDestroy();
    Put("destroyedTwice", 1);
    a->_remove_ref();
    b->_remove_ref();
  });
  ExpectCleanExit(r);
  EXPECT_EQ(r["beforeInit.a"], "1");
  EXPECT_EQ(r["beforeInit.b"], "1");
  EXPECT_EQ(r["beforeInit.pingable"], "0");
  EXPECT_EQ(r["active.b"], "2");
  EXPECT_EQ(r["held.a"], "1");
  EXPECT_EQ(r["held.b"], "2") << "Deactivate while held leaves the servant active";
  EXPECT_EQ(r["held.pingable"], "1") << "the ping servant survives HoldRequests";
  EXPECT_EQ(r["shutdown.a"], "1");
  EXPECT_EQ(r["shutdown.pingable"], "0");
  EXPECT_EQ(r["destroyed.a"], "1");
  EXPECT_EQ(r["destroyed.b"], "1") << "destroying the ORB released the POA's reference";
  EXPECT_EQ(r["destroyed.pingable"], "0");
  EXPECT_EQ(r["destroyedTwice"], "1");
}

}  // namespace
