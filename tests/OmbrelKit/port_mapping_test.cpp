#include "OmbrelKit/port_mapping.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ombrel {
namespace {

using namespace PortMapping;

// ---------------------------------------------------------------------------------------------
// IPv4

TEST(PortMappingIPv4, ParsesOnlyFourDecimalParts) {
  struct Case {
    std::string text;
    std::optional<IPv4> bytes;
  };
  const std::vector<Case> cases = {
      {"192.168.1.1", IPv4{192, 168, 1, 1}},
      {" 10.0.0.138\r\n", IPv4{10, 0, 0, 138}},
      {"\xC2\xA0"
       "10.0.0.1\xE3\x80\x80",
       IPv4{10, 0, 0, 1}},  // Unicode spaces trim too
      {"010.001.0.255", IPv4{10, 1, 0, 255}},
      {"0.0.0.0", IPv4{0, 0, 0, 0}},
      {"256.1.1.1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1.2..4", std::nullopt},
      {"1.2.3.4.", std::nullopt},
      {"1.2.3.0004", std::nullopt},
      {"1.2.3.-4", std::nullopt},
      {"1.2.3.+4", std::nullopt},
      {"1.2. 3.4", std::nullopt},
      {"1.2.3.4x", std::nullopt},
      {"\xD9\xA1.2.3.4", std::nullopt},  // an Arabic-Indic digit is not an ASCII digit
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseIPv4(c.text), c.bytes) << c.text;
  EXPECT_EQ(formatIPv4(IPv4{203, 0, 114, 1}), "203.0.114.1");
}

TEST(PortMappingIPv4, ClassifiesLocalAndPublicAtRangeEdges) {
  struct Case {
    const char* address;
    bool local;
    bool isPublic;
  };
  const Case cases[] = {
      {"10.255.255.255", true, false},   {"11.0.0.0", false, true},
      {"127.0.0.1", true, false},        {"169.254.10.1", true, false},
      {"169.253.0.1", false, true},      {"172.15.255.255", false, true},
      {"172.16.0.1", true, false},       {"172.31.255.255", true, false},
      {"172.32.0.0", false, true},       {"192.168.0.1", true, false},
      {"192.167.255.255", false, true},  {"0.1.2.3", false, false},
      {"100.63.255.255", false, true},   {"100.64.0.1", false, false},
      {"100.127.255.255", false, false}, {"100.128.0.0", false, true},
      {"192.0.0.9", false, false},       {"192.0.1.1", false, true},
      {"192.0.2.1", false, false},       {"192.88.99.1", false, false},
      {"192.88.98.1", false, true},      {"198.17.255.255", false, true},
      {"198.18.0.1", false, false},      {"198.19.255.255", false, false},
      {"198.20.0.0", false, true},       {"198.51.100.7", false, false},
      {"203.0.113.1", false, false},     {"203.0.114.1", false, true},
      {"223.255.255.255", false, true},  {"224.0.0.1", false, false},
      {"255.255.255.255", false, false}, {"not an address", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isLocalIPv4(std::string_view(c.address)), c.local) << c.address;
    EXPECT_EQ(isPublicIPv4(std::string_view(c.address)), c.isPublic) << c.address;
  }
  const Bytes three = {10, 0, 0};
  const Bytes five = {8, 8, 8, 8, 8};
  EXPECT_FALSE(isLocalIPv4(ByteView(three)));
  EXPECT_FALSE(isPublicIPv4(ByteView(five)));
}

TEST(PortMappingText, UTF8IsStrict) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"plain", true},
      {"\xE4\xB8\xAD\xE7\xB9\xBC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},          // overlong "/"
      {"\xE0\x80\xAF", false},      // overlong "/"
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE4\xB8", false},          // cut short
      {"ok\xFF", false},
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(isUTF8(view(text)), valid) << text;
}

// ---------------------------------------------------------------------------------------------
// NAT-PMP

TEST(PortMappingNATPMP, RequestsHaveTheRFCLayout) {
  EXPECT_EQ(hexString(NATPMP::externalAddressRequest()), "0000");
  EXPECT_EQ(hexString(NATPMP::mapTCPRequest(47800, 47801, 3600)), "00020000bab8bab900000e10");
  EXPECT_EQ(hexString(NATPMP::mapTCPRequest(47800, 0, 0)), "00020000bab8000000000000");
}

TEST(PortMappingNATPMP, ParsesEveryResultCodeOfBothAnswers) {
  using NATPMP::ExternalAddress;
  using NATPMP::Mapping;
  using NATPMP::Response;
  // Result codes of RFC 6886: 1 unsupported version, 2 refused, 3 network failure, 4 out of
  // resources, 5 unsupported opcode. A failed answer is 8 bytes (miniupnpd sends 8 or 16).
  for (std::uint16_t code = 1; code <= 5; ++code) {
    const std::string result = "000" + std::to_string(code);
    EXPECT_EQ(NATPMP::parse(fromHex("0080" + result + "00001234")),
              (Response{ExternalAddress{code, 0x1234, {}}}));
    EXPECT_EQ(NATPMP::parse(fromHex("0082" + result + "00001234")),
              (Response{Mapping{code, 0x1234, 2, 0, 0, 0}}));
    EXPECT_EQ(
        NATPMP::parse(fromHex("0082" + result + "00001234" + "bab8bab900000e10"))->resultCode(),
        code);
  }
  EXPECT_EQ(NATPMP::parse(fromHex("008000000001e240cb007201")),
            (Response{ExternalAddress{0, 123456, {203, 0, 114, 1}}}));
  EXPECT_EQ(NATPMP::parse(fromHex("00820000000000ffbab8c35000000e10")),
            (Response{Mapping{0, 255, 2, 47800, 50000, 3600}}));
  EXPECT_EQ(NATPMP::parse(fromHex("00810000000000ffbab8c35000000e10")),
            (Response{Mapping{0, 255, 1, 47800, 50000, 3600}}));
  // Only the first 16 bytes count.
  EXPECT_EQ(NATPMP::parse(fromHex("00820000000000ffbab8c35000000e10deadbeef")),
            (Response{Mapping{0, 255, 2, 47800, 50000, 3600}}));
}

TEST(PortMappingNATPMP, RefusesWhatIsNotAnAnswer) {
  const char* cases[] = {
      "",                                  // empty
      "00800000000012",                    // 7 bytes
      "0080000000001234cb0072",            // success needs the address: 11 bytes
      "00820000000000ffbab8c35000000e",    // success needs the lifetime: 15 bytes
      "01800000000012340a000001",          // version 1
      "00000000000012340a000001",          // a request, not an answer
      "00020000bab8bab900000e10",          // our own request echoed
      "00830000000000ffbab8c35000000e10",  // opcode 3
      "00ff0000000000ffbab8c35000000e10",  // opcode 127
  };
  for (const char* hex : cases) EXPECT_EQ(NATPMP::parse(fromHex(hex)), std::nullopt) << hex;
}

TEST(PortMappingNATPMP, AnAnswerMatchesOnlyItsRequest) {
  const auto address = *NATPMP::parse(fromHex("008000000001e240cb007201"));
  const auto tcp = *NATPMP::parse(fromHex("00820000000000ffbab8c35000000e10"));
  const auto udp = *NATPMP::parse(fromHex("00810000000000ffbab8c35000000e10"));
  EXPECT_TRUE(NATPMP::answers(address, NATPMP::opExternalAddress));
  EXPECT_FALSE(NATPMP::answers(address, NATPMP::opMapTCP));
  EXPECT_TRUE(NATPMP::answers(tcp, NATPMP::opMapTCP));
  EXPECT_FALSE(NATPMP::answers(tcp, NATPMP::opExternalAddress));
  EXPECT_FALSE(NATPMP::answers(udp, NATPMP::opMapTCP));
}

// ---------------------------------------------------------------------------------------------
// SSDP

TEST(PortMappingSSDP, SearchRequestIsExact) {
  EXPECT_EQ(UPnP::searchRequest("239.255.255.250:1900", UPnP::searchTargets[0]),
            "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
            "MX: 2\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
}

// An answer shaped like miniupnpd's, with the LOCATION line replaceable.
std::string ssdpAnswer(const std::string& locationLine) {
  return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
         "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
         "USN: uuid:7b1f0c2e-5a43-4a5e-9d4c-2f3b6e8a1c90::"
         "urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
         "EXT:\r\nSERVER: Debian/12 UPnP/1.1 MiniUPnPd/2.3.1\r\n" +
         locationLine +
         "OPT: \"http://schemas.upnp.org/upnp/1/0/\"; ns=01\r\n01-NLS: 1\r\n"
         "BOOTID.UPNP.ORG: 1\r\nCONFIGID.UPNP.ORG: 1337\r\n\r\n";
}

TEST(PortMappingSSDP, LocationMustBeAnHTTPURLOnTheResponder) {
  struct Case {
    std::string answer;
    std::string responder;
    std::optional<std::string> location;
  };
  const std::string url = "http://192.168.1.1:5000/rootDesc.xml";
  const std::vector<Case> cases = {
      {ssdpAnswer("LOCATION: " + url + "\r\n"), "192.168.1.1", url},
      {ssdpAnswer("  location  :   " + url + "  \r\n"), "192.168.1.1", url},
      {ssdpAnswer("Location:" + url + "\n"), "192.168.1.1", url},
      {"HTTP/1.1 200 OK\rLocation: " + url + "\r", "192.168.1.1", url},  // bare CR lines
      {"HTTP/1.1 200 OK\xE2\x80\xA8Location: " + url, "192.168.1.1", url},
      // The responder decides: another host in the URL, or a responder off the LAN.
      {ssdpAnswer("LOCATION: " + url + "\r\n"), "192.168.1.2", std::nullopt},
      {ssdpAnswer("LOCATION: http://8.8.8.8:5000/rootDesc.xml\r\n"), "8.8.8.8", std::nullopt},
      // The first location line decides even when a later one would do.
      {"HTTP/1.1 200 OK\r\nLOCATION: https://192.168.1.1/x\r\nLOCATION: " + url + "\r\n\r\n",
       "192.168.1.1", std::nullopt},
      {ssdpAnswer("LOCATION: http://router.lan:5000/rootDesc.xml\r\n"), "192.168.1.1",
       std::nullopt},
      {ssdpAnswer("LOCATION: http://192.168.1.1:5000/root Desc.xml\r\n"), "192.168.1.1",
       std::nullopt},
      {ssdpAnswer("X-LOCATION: " + url + "\r\n"), "192.168.1.1", std::nullopt},
      {ssdpAnswer(""), "192.168.1.1", std::nullopt},
      {"", "192.168.1.1", std::nullopt},
      // Longer than a datagram can be.
      {ssdpAnswer("LOCATION: " + url + "\r\n") + std::string(maxDatagramSize, 'x'), "192.168.1.1",
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UPnP::location(c.answer, c.responder), c.location) << c.answer;
  }
}

TEST(PortMappingSSDP, SplitURLTakesOnlyIPv4HTTPURLs) {
  using UPnP::URLParts;
  struct Case {
    std::string url;
    std::optional<URLParts> parts;
  };
  const std::vector<Case> cases = {
      {"http://192.168.1.1:5000/rootDesc.xml", URLParts{"192.168.1.1", 5000, "/rootDesc.xml"}},
      {"HTTP://10.0.0.1", URLParts{"10.0.0.1", 80, "/"}},
      {"http://10.0.0.1/", URLParts{"10.0.0.1", 80, "/"}},
      {"http://10.0.0.1:65535/a/b?c=d", URLParts{"10.0.0.1", 65535, "/a/b?c=d"}},
      {"http://10.0.0.1:1/a:b@c", URLParts{"10.0.0.1", 1, "/a:b@c"}},
      {"http://10.0.0.1:0/", std::nullopt},
      {"http://10.0.0.1:65536/", std::nullopt},
      {"http://10.0.0.1:99999999999999999999/", std::nullopt},
      {"http://10.0.0.1:/", std::nullopt},
      {"http://10.0.0.1:80:80/", std::nullopt},
      {"http://10.0.0.1:+80/", std::nullopt},
      {"http://user@10.0.0.1/", std::nullopt},
      {"http://router.lan/", std::nullopt},
      {"http://[fe80::1]:5000/", std::nullopt},
      {"https://10.0.0.1/", std::nullopt},
      {"http:/10.0.0.1/", std::nullopt},
      {"http://10.0.0.1/a b", std::nullopt},
      {"http://10.0.0.1/a\tb", std::nullopt},
      {"http://10.0.0.1/a\xC2\xA0", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(UPnP::splitURL(c.url), c.parts) << c.url;
}

// ---------------------------------------------------------------------------------------------
// Description

TEST(PortMappingXML, TagFindsPlainAndPrefixedElementsOnly) {
  struct Case {
    std::string document;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases = {
      {"<a><NewExternalIPAddress>203.0.114.1</NewExternalIPAddress></a>", "203.0.114.1"},
      {"<m:NewExternalIPAddress> 203.0.114.1\r\n</m:NewExternalIPAddress>", "203.0.114.1"},
      {"<:NewExternalIPAddress>x</:NewExternalIPAddress>", "x"},
      // Closing tags, attributes and longer names are not the element.
      {"</NewExternalIPAddress>1<NewExternalIPAddress>2</NewExternalIPAddress>", "2"},
      {"</m:NewExternalIPAddress>1<m:NewExternalIPAddress>2</m:NewExternalIPAddress>", "2"},
      {"<NewExternalIPAddress a=\"1\">1</NewExternalIPAddress>", std::nullopt},
      {"<XNewExternalIPAddress>1</XNewExternalIPAddress>", std::nullopt},
      {"<a b:NewExternalIPAddress>1</a b:NewExternalIPAddress>", std::nullopt},
      // A prefix must end in ":" and match on the closing tag.
      {"<m:NewExternalIPAddress>1</NewExternalIPAddress>", std::nullopt},
      {"<NewExternalIPAddress>1", std::nullopt},
      {"NewExternalIPAddress>1</NewExternalIPAddress>", std::nullopt},
      // Entities, in order: "&amp;lt;" is the text "&lt;", not "<".
      {"<NewExternalIPAddress>&lt;a&gt; &quot;b&quot; &apos;c&apos; "
       "&amp;lt;</NewExternalIPAddress>",
       "<a> \"b\" 'c' &lt;"},
      {std::string("<NewExternalIPAddress>") + std::string(UPnP::maxDocumentSize, ' ') +
           "</NewExternalIPAddress>",
       std::nullopt},
      {"<" + std::string(UPnP::maxPrefixLength - 1, 'p') + ":NewExternalIPAddress>1</" +
           std::string(UPnP::maxPrefixLength - 1, 'p') + ":NewExternalIPAddress>",
       "1"},
      {"<" + std::string(UPnP::maxPrefixLength, 'p') + ":NewExternalIPAddress>1</" +
           std::string(UPnP::maxPrefixLength, 'p') + ":NewExternalIPAddress>",
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UPnP::tag(c.document, "NewExternalIPAddress"), c.text) << c.document;
  }
  EXPECT_EQ(UPnP::tag("<a></a>", ""), std::nullopt);
}

// Modelled on miniupnpd's rootDesc.xml for an IGD v1: the WAN services sit two devices deep,
// after services of other types whose controlURL comes first.
std::string igdDescription(const std::string& wanService, const std::string& controlURL) {
  return R"(<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0" configId="1337">
<specVersion><major>1</major><minor>1</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Debian router</friendlyName>
<manufacturer>Debian</manufacturer>
<UDN>uuid:7b1f0c2e-5a43-4a5e-9d4c-2f3b6e8a1c90</UDN>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType>
<serviceId>urn:upnp-org:serviceId:L3Forwarding1</serviceId>
<SCPDURL>/L3F.xml</SCPDURL>
<controlURL>/ctl/L3F</controlURL>
<eventSubURL>/evt/L3F</eventSubURL>
</service>
</serviceList>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>
<SCPDURL>/WANCfg.xml</SCPDURL>
<controlURL>/ctl/CmnIfCfg</controlURL>
<eventSubURL>/evt/CmnIfCfg</eventSubURL>
</service>
</serviceList>
<deviceList>
<device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList>
<service>
<serviceType>urn:schemas-upnp-org:service:)" +
         wanService + R"(</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<SCPDURL>/WANIPCn.xml</SCPDURL>
<controlURL>)" +
         controlURL + R"(</controlURL>
<eventSubURL>/evt/IPConn</eventSubURL>
</service>
</serviceList>
</device>
</deviceList>
</device>
</deviceList>
<presentationURL>http://192.168.1.1/</presentationURL>
</device>
</root>
)";
}

TEST(PortMappingXML, ControlURLReadsTheMatchingServiceBlock) {
  const std::string v1 = igdDescription("WANIPConnection:1", "/ctl/IPConn");
  EXPECT_EQ(UPnP::controlURL(v1, "WANIPConnection:1"), "/ctl/IPConn");
  EXPECT_EQ(UPnP::controlURL(v1, "Layer3Forwarding:1"), "/ctl/L3F");
  EXPECT_EQ(UPnP::controlURL(v1, "WANIPConnection:2"), std::nullopt);
  EXPECT_EQ(UPnP::controlURL(v1, "WANIPConnection"), std::nullopt);  // the type must match whole
  // An unclosed last block still counts; a prefixed <service> does not.
  EXPECT_EQ(UPnP::controlURL("<service><serviceType>urn:schemas-upnp-org:service:X:1</serviceType>"
                             "<controlURL>/x</controlURL>",
                             "X:1"),
            "/x");
  EXPECT_EQ(UPnP::controlURL("<d:service><serviceType>urn:schemas-upnp-org:service:X:1"
                             "</serviceType><controlURL>/x</controlURL></d:service>",
                             "X:1"),
            std::nullopt);
}

TEST(PortMappingXML, RouterResolvesTheControlURLAgainstTheLocation) {
  using UPnP::Router;
  const UPnP::URLParts location{"192.168.1.1", 5000, "/rootDesc.xml"};
  const std::string ip1 = "urn:schemas-upnp-org:service:WANIPConnection:1";
  struct Case {
    std::string description;
    std::optional<Router> router;
  };
  const std::vector<Case> cases = {
      {igdDescription("WANIPConnection:1", "/ctl/IPConn"),
       Router{"192.168.1.1", 5000, "/ctl/IPConn", ip1}},
      {igdDescription("WANIPConnection:1", "ctl/IPConn"),
       Router{"192.168.1.1", 5000, "/ctl/IPConn", ip1}},
      {igdDescription("WANIPConnection:1", "http://192.168.1.1:49152/upnp/control/WANIPConn1"),
       Router{"192.168.1.1", 49152, "/upnp/control/WANIPConn1", ip1}},
      {igdDescription("WANPPPConnection:1", "/ctl/PPPConn"),
       Router{"192.168.1.1", 5000, "/ctl/PPPConn",
              "urn:schemas-upnp-org:service:WANPPPConnection:1"}},
      // A control point on another host, or an unusable path, is no control point.
      {igdDescription("WANIPConnection:1", "http://192.168.1.2:5000/ctl/IPConn"), std::nullopt},
      {igdDescription("WANIPConnection:1", "http://router.lan:5000/ctl/IPConn"), std::nullopt},
      {igdDescription("WANIPConnection:1", "/ctl/IP Conn"), std::nullopt},
      {igdDescription("WANCommonInterfaceConfig:2", "/ctl/IPConn"), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(UPnP::router(c.description, location), c.router);

  // An IGD v2 offering both versions: WANIPConnection:2 is preferred wherever it appears, and a
  // preferred service that is unusable falls through to the next.
  const std::string v2 =
      igdDescription("WANIPConnection:1", "/ctl/IPConn") +
      "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2</serviceType>"
      "<controlURL>/ctl/IPConn2</controlURL></service>";
  EXPECT_EQ(UPnP::router(v2, location), (Router{"192.168.1.1", 5000, "/ctl/IPConn2",
                                                "urn:schemas-upnp-org:service:WANIPConnection:2"}));
  const std::string v2Elsewhere =
      igdDescription("WANIPConnection:1", "/ctl/IPConn") +
      "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2</serviceType>"
      "<controlURL>http://10.9.9.9/ctl</controlURL></service>";
  EXPECT_EQ(UPnP::router(v2Elsewhere, location), (Router{"192.168.1.1", 5000, "/ctl/IPConn", ip1}));
}

// ---------------------------------------------------------------------------------------------
// SOAP

TEST(PortMappingSOAP, EnvelopeAndHeadersAreExact) {
  const std::string service = "urn:schemas-upnp-org:service:WANIPConnection:1";
  EXPECT_EQ(UPnP::soapBody("GetExternalIPAddress", service, {}),
            "<?xml version=\"1.0\"?><s:Envelope "
            "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<u:GetExternalIPAddress xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
            "</u:GetExternalIPAddress></s:Body></s:Envelope>");
  const std::string body =
      UPnP::soapBody("AddPortMapping", service,
                     {{"NewRemoteHost", ""},
                      {"NewExternalPort", "47800"},
                      {"NewPortMappingDescription", "Tom & Jerry's <\"PC\">"}});
  EXPECT_NE(body.find("<u:AddPortMapping xmlns:u=\"urn:schemas-upnp-org:service:"
                      "WANIPConnection:1\"><NewRemoteHost></NewRemoteHost><NewExternalPort>47800"
                      "</NewExternalPort><NewPortMappingDescription>Tom &amp; Jerry's "
                      "&lt;&quot;PC&quot;&gt;</NewPortMappingDescription></u:AddPortMapping>"),
            std::string::npos)
      << body;
  // What the router reads back is what was sent.
  EXPECT_EQ(UPnP::tag(body, "NewPortMappingDescription"), "Tom & Jerry's <\"PC\">");
  EXPECT_EQ(
      UPnP::soapHeaders("DeletePortMapping", service),
      (std::vector<std::string>{
          "Content-Type: text/xml; charset=\"utf-8\"",
          "SOAPAction: \"urn:schemas-upnp-org:service:WANIPConnection:1#DeletePortMapping\""}));
}

TEST(PortMappingSOAP, ReplyIsTheBodyOrAFaultWithItsCode) {
  const std::string ok =
      "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
      "envelope/\" s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
      "<u:GetExternalIPAddressResponse xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
      "<NewExternalIPAddress>203.0.114.1</NewExternalIPAddress>"
      "</u:GetExternalIPAddressResponse></s:Body></s:Envelope>\r\n";
  const auto fault = [](const std::string& code) {
    return "<s:Envelope><s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError"
           "</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
           "<errorCode>" +
           code +
           "</errorCode><errorDescription>ConflictInMappingEntry</errorDescription></UPnPError>"
           "</detail></s:Fault></s:Body></s:Envelope>";
  };
  using Reply = std::variant<std::string, UPnP::SOAPFault>;
  EXPECT_EQ(UPnP::soapReply("GetExternalIPAddress", {200, toBytes(ok)}), Reply(ok));
  EXPECT_EQ(UPnP::soapReply("GetExternalIPAddress", {200, {0xFF}}), Reply(std::string()));
  struct Case {
    int status;
    std::string body;
    std::optional<int> code;
    std::string description;
  };
  const std::vector<Case> cases = {
      {500, fault("718"), 718, "AddPortMapping failed (UPnP error 718)"},
      {500, fault(" 606 "), 606, "AddPortMapping failed (UPnP error 606)"},
      {500, fault("7x"), std::nullopt, "AddPortMapping failed"},
      {500, fault("99999999999"), std::nullopt, "AddPortMapping failed"},
      {401, "", std::nullopt, "AddPortMapping failed"},
      {500, "\xFF" + fault("718"), std::nullopt, "AddPortMapping failed"},
  };
  for (const Case& c : cases) {
    const Reply reply = UPnP::soapReply("AddPortMapping", {c.status, toBytes(c.body)});
    ASSERT_TRUE(std::holds_alternative<UPnP::SOAPFault>(reply)) << c.body;
    const auto& f = std::get<UPnP::SOAPFault>(reply);
    EXPECT_EQ(f, (UPnP::SOAPFault{"AddPortMapping", c.code}));
    EXPECT_EQ(f.description(), c.description);
  }
}

// ---------------------------------------------------------------------------------------------
// HTTP

TEST(PortMappingHTTP, RequestIsExact) {
  EXPECT_EQ(httpRequest("POST", "192.168.1.1", 5000, "/ctl/IPConn",
                        {"Content-Type: text/xml", "SOAPAction: \"a#b\""}, "<x/>"),
            "POST /ctl/IPConn HTTP/1.1\r\nHost: 192.168.1.1:5000\r\nConnection: close\r\n"
            "Content-Length: 4\r\nContent-Type: text/xml\r\nSOAPAction: \"a#b\"\r\n\r\n<x/>");
  EXPECT_EQ(
      httpRequest("GET", "10.0.0.1", 80, "/", {}, ""),
      "GET / HTTP/1.1\r\nHost: 10.0.0.1:80\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

TEST(PortMappingHTTP, ParsesBodiesByLengthOrChunks) {
  struct Case {
    std::string raw;
    std::optional<HTTPResponse> response;
  };
  const auto ok = [](int status, const std::string& body) {
    return std::optional<HTTPResponse>(HTTPResponse{status, toBytes(body)});
  };
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
  const std::vector<Case> cases = {
      {head + "Content-Length: 5\r\n\r\nhello", ok(200, "hello")},
      {head + "Content-Length: 5\r\n\r\nhello, and more", ok(200, "hello")},
      {head + "content-length:   +3  \r\n\r\nhello", ok(200, "hel")},
      {head + "\r\nno length, read to close", ok(200, "no length, read to close")},
      {head + "Content-Length: five\r\n\r\nhello", ok(200, "hello")},  // not a number: ignored
      {head + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nhello", ok(200, "hell")},
      {"HTTP/1.0  500   Internal Server Error\r\n\r\n", ok(500, "")},
      {"HTTP/1.1 200\r\n\r\nx", ok(200, "x")},
      {head + "Transfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n",
       ok(200, "hello world")},
      {head + "TRANSFER-ENCODING: gzip, CHUNKED\r\nContent-Length: 1\r\n\r\n"
              "A \r\n0123456789\r\n0\r\nX-Trailer: t\r\n\r\n",
       ok(200, "0123456789")},
      {head + "Transfer-Encoding: chunked\r\n\r\n+2\r\nab\r\n0\r\n", ok(200, "ab")},
      // Invalid: no head end, bad status line, content shorter than declared, negative length.
      {head + "Content-Length: 5\r\n", std::nullopt},
      {head + "Content-Length: 6\r\n\r\nhello", std::nullopt},
      {head + "Content-Length: -1\r\n\r\nhello", std::nullopt},
      {"HTTP/2 200 OK\r\n\r\n", std::nullopt},
      {"HTTP/1.1 OK\r\n\r\n", std::nullopt},
      {"HTTP/1.1\r\n\r\n", std::nullopt},
      {"ICY 200 OK\r\n\r\n", std::nullopt},
      {"\r\n\r\n", std::nullopt},
      {"HTTP/1.1 200 OK\r\nX-Name: \xFF\r\n\r\n", std::nullopt},  // head not UTF-8
      // Malformed chunks: missing end, size too big, no CRLF after data, bad size, negative.
      {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n6\r\nhello\r\n0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n4\r\nhello\r\n0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n1\r\naXY0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n", std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\nhello\r\n0\r\n\r\n",
       std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\nhello\r\n0\r\n\r\n",
       std::nullopt},
      {head + "Transfer-Encoding: chunked\r\n\r\n5\xC2\xA0\r\nhello\r\n0\r\n\r\n", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseHTTPResponse(view(c.raw)), c.response) << c.raw;
}

TEST(PortMappingHTTP, RefusesMoreThanTheLimit) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::string fits = head + std::string(maxHTTPResponseSize - head.size(), 'x');
  EXPECT_TRUE(parseHTTPResponse(view(fits)).has_value());
  EXPECT_EQ(parseHTTPResponse(view(fits + "x")), std::nullopt);
}

// Anything on the LAN may serve a description: inputs built to make a naive reader quadratic
// or deeply recursive still get an answer (ctest's timeout is the safety limit).
TEST(PortMappingXML, HostileDocumentsAtTheLimit) {
  const auto fill = [](std::string_view piece, std::size_t limit) {
    std::string out;
    while (out.size() + piece.size() <= limit) out.append(piece);
    return out;
  };
  const std::size_t limit = UPnP::maxDocumentSize - 2;
  EXPECT_EQ(UPnP::tag(fill("controlURL>", limit), "controlURL"), std::nullopt);
  EXPECT_EQ(UPnP::tag("<x" + fill("controlURL>", limit), "controlURL"), std::nullopt);
  EXPECT_EQ(UPnP::tag("<x" + fill("p:controlURL>", limit), "controlURL"), std::nullopt);
  EXPECT_EQ(UPnP::tag(fill("<p:controlURL>x</p:controlURL", limit), "controlURL"), std::nullopt);
  const std::string longPrefix(UPnP::maxPrefixLength, 'p');
  EXPECT_EQ(UPnP::tag(fill("<" + longPrefix + ":controlURL></" + longPrefix, limit), "controlURL"),
            std::nullopt);
  EXPECT_EQ(UPnP::controlURL(fill("<service>", limit), "WANIPConnection:1"), std::nullopt);
  EXPECT_EQ(UPnP::controlURL(fill("<service><serviceType>", limit), "WANIPConnection:1"),
            std::nullopt);
  EXPECT_EQ(UPnP::router(fill("<service><serviceList><device>", limit), {"10.0.0.1", 80, "/"}),
            std::nullopt);
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunks = head + fill("1\r\nx\r\n", maxHTTPResponseSize - head.size() - 5);
  const auto response = parseHTTPResponse(view(chunks + "0\r\n\r\n"));
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->body.size(), (chunks.size() - head.size()) / 6);
}

}  // namespace
}  // namespace ombrel
