// The configuration check over tables of texts: RFC 8259's edge cases,
// configurations that name files outside the core's folder or use what a
// client may not (with the pointer each refusal must give), and
// configurations that must pass.
#include "service/config_check/core_config_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::string json;
  bool valid;
};

TEST(CoreConfigCheck, FollowsRfc8259) {
  const std::vector<Case> cases = {
      {"{}", true},
      {"[]", true},
      {R"("text")", true},
      {"-0", true},
      {"-12.5e+10", true},
      {"1E-2", true},
      {"true", true},
      {"null", true},
      {" \t\r\n{ \"a\" : [ 1 , false , null ] } \n", true},
      {R"({"a":"\u00e9\u20AC\uD83D\uDE00\"\\\/\b\f\n\r\t\u0000"})", true},
      {"[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"]", true},
      {R"({"a":1,"a":2})", true},
      {"", false},
      {" ", false},
      {"\xEF\xBB\xBF{}", false},  // a byte order mark
      {R"({"a":1,})", false},
      {"[1,]", false},
      {"[,1]", false},
      {"{,}", false},
      {R"({"a" 1})", false},
      {R"({"a":})", false},
      {"{a:1}", false},
      {"{'a':1}", false},
      {"[1 2]", false},
      {"{\"a\":1", false},
      {"[1]]", false},
      {"01", false},
      {"1.", false},
      {".5", false},
      {"+1", false},
      {"1e", false},
      {"1e+", false},
      {"-", false},
      {"0x10", false},
      {"NaN", false},
      {"Infinity", false},
      {"tru", false},
      {"True", false},
      {"nulls", false},
      {R"("abc)", false},
      {"\"a\x01\"", false},
      {"\"a\tb\"", false},
      {R"("\x")", false},
      {R"("\u12")", false},
      {R"("\u12G4")", false},
      {R"("\uD800")", false},
      {R"("\uDC00")", false},
      {R"("\uD800\u0041")", false},
      {R"("\uD800x")", false},
      {R"("\uDBFF\uDBFF")", false},
      {"\"\xC0\x80\"", false},          // overlong NUL
      {"\"\xE0\x80\xAF\"", false},      // overlong '/'
      {"\"\xF0\x80\x80\xAF\"", false},  // overlong '/'
      {"\"\xED\xA0\x80\"", false},      // U+D800
      {"\"\xF4\x90\x80\x80\"", false},  // U+110000
      {"\"\xF5\x80\x80\x80\"", false},
      {"\"\xFF\"", false},
      {"\"\x80\"", false},
      {"\"\xE2\x82\"", false},  // truncated U+20AC
      {"\"\xE2\x82", false},
      {"{} {}", false},
      {"1 2", false},
      {std::string("{}\0", 3), false},
      {"\f{}", false},
      {"{}\v", false},
      {"\xC2\xA0{}", false},
      {std::string(128, '[') + std::string(128, ']'), true},
      {std::string(129, '[') + std::string(129, ']'), false},
      {std::string(100000, '['), false},
      {"[" + std::string(kMaxCoreConfigBytes - 2, ' ') + "]", true},
      {"[" + std::string(kMaxCoreConfigBytes - 1, ' ') + "]", false},
  };
  for (const Case& c : cases) {
    const CoreConfigVerdict verdict = CheckCoreConfig(c.json);
    EXPECT_EQ(verdict.kind != CoreConfigVerdict::NotJson, c.valid) << c.json.substr(0, 80);
  }
}

struct Refused {
  std::string json;
  std::string pointer;
};

// A member inside an allowed outbound, and the pointer to that outbound.
std::string InOutbound(const std::string& members) {
  return R"({"outbounds":[{"type":"vless",)" + members + "}]}";
}
const std::string kOutbound = "/outbounds/0";

TEST(CoreConfigCheck, RefusesFilesOutsideTheFolder) {
  const std::vector<Refused> cases = {
      {R"({"log":{"output":"C:\\x.log"}})", "/log/output"},
      {R"({"log":{"OUTPUT":"C:/x.log"}})", "/log/OUTPUT"},
      {R"({"log":{"o\u0075tput":"/x"}})", "/log/output"},
      {R"({"log":{"output":"\\x"}})", "/log/output"},
      {InOutbound(R"("x_path":"\\\\srv\\share\\x")"), kOutbound + "/x_path"},
      {InOutbound(R"("x_path":"//srv/share/x")"), kOutbound + "/x_path"},
      {InOutbound(R"("x_path":"\\\\?\\C:\\x")"), kOutbound + "/x_path"},
      {InOutbound(R"("x_path":"\\\\.\\pipe\\x")"), kOutbound + "/x_path"},
      {R"({"experimental":{"cache_file":{"path":"C:x.db"}}})", "/experimental/cache_file/path"},
      {InOutbound(R"("tls":{"certificate_path":"file:///C:/x.pem"})"),
       kOutbound + "/tls/certificate_path"},
      {InOutbound(R"("tls":{"key_path":"FILE:x.pem"})"), kOutbound + "/tls/key_path"},
      {InOutbound(R"("a_directory":"..\\x")"), kOutbound + "/a_directory"},
      {InOutbound(R"("a_file":"a/../b")"), kOutbound + "/a_file"},
      {InOutbound(R"("a_files":"a\\..")"), kOutbound + "/a_files"},
      {InOutbound(R"("directory":"..")"), kOutbound + "/directory"},
      {R"({"log":{"output":"NUL"}})", "/log/output"},
      {R"({"log":{"output":"logs/com1.log"}})", "/log/output"},
      {R"({"log":{"output":"Lpt\u00b9 .txt"}})", "/log/output"},
      {R"({"log":{"output":"conout$"}})", "/log/output"},
      {R"({"log":{"output":"aux:x"}})", "/log/output"},
      {InOutbound(R"("tls":{"\u212Aey_path":"C:\\k"})"),
       kOutbound + "/tls/\xE2\x84\xAA"
                   "ey_path"},
      {R"({"route":{"dhcp_lease_file\u017F":["C:\\x"]}})", "/route/dhcp_lease_file\xC5\xBF/0"},
      {R"({"outbounds":[{"type":"socks","executable_path":"tor.exe"}]})",
       "/outbounds/0/executable_path"},
      {InOutbound(R"("Executable_Path":null)"), kOutbound + "/Executable_Path"},
      {R"({"route":{"dhcp_lease_files":["a.leases","C:\\x"]}})", "/route/dhcp_lease_files/1"},
      {R"({"dns":{"servers":[{"type":"hosts","path":["hosts","C:\\hosts"]}]}})",
       "/dns/servers/0/path/1"},
      {R"({"outbounds":[{"path":"/x","type":"socks"}]})", "/outbounds/0/path"},
      {R"({"outbounds":[{"type":"http","path":"/x","type":"socks"}]})", "/outbounds/0/path"},
      {R"({"outbounds":[{"type":"http","tls":{"path":"/x"}}]})", "/outbounds/0/tls/path"},
      {R"({"outbounds":[{"type":"http","path":"C:\\x"}]})", "/outbounds/0/path"},
      {R"({"inbounds":[{"type":"http","path":"/x"}]})", "/inbounds/0/path"},
      {R"({"dns":{"servers":[{"type":"udp","path":"/x"}]}})", "/dns/servers/0/path"},
      {InOutbound(R"("transport":{"type":"ws","path":"/ws","key_path":"/k"})"),
       kOutbound + "/transport/key_path"},
      {R"({"log":{"output":"C:\\x","output":"a.log"}})", "/log/output"},
      {InOutbound(R"("a/b":{"c~d":{"x_file":"/x"}})"), kOutbound + "/a~1b/c~0d/x_file"},
      {R"({"outbounds":[{"path":"/a","key_path":"/b","type":"socks"}]})", "/outbounds/0/path"},
  };
  for (const Refused& c : cases) {
    const CoreConfigVerdict verdict = CheckCoreConfig(c.json);
    EXPECT_EQ(verdict.kind, CoreConfigVerdict::FileOutsideFolder) << c.json;
    EXPECT_EQ(verdict.pointer, c.pointer) << c.json;
  }
}

// Routes from a configuration to the machine: each was accepted by a check of
// forbidden names. Then what a client may not use at all, and values shaped
// like paths under names that no family of file members predicts.
TEST(CoreConfigCheck, RefusesWhatAClientMayNotUse) {
  using K = CoreConfigVerdict::Kind;
  const K option = K::OptionNotAllowed;
  const K file = K::FileOutsideFolder;
  const struct {
    std::string json;
    K kind;
    std::string pointer;
  } cases[] = {
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","external_ui":"ui",
          "external_ui_download_url":"http://x/e.zip"}}})",
       option, "/experimental/clash_api/external_ui"},
      {R"({"experimental":{"clash_api":{"external_ui_download_url":"http://x/e.zip"}}})", option,
       "/experimental/clash_api/external_ui_download_url"},
      {R"({"experimental":{"clash_api":{"EXTERNAL_UI":"."}}})", option,
       "/experimental/clash_api/EXTERNAL_UI"},
      {R"({"ntp":{"Write_To_\u017Fystem":true}})", option, "/ntp/Write_To_\xC5\xBFystem"},
      {R"({"experimental":{"clash_api":{"external_ui":"$SystemDrive\\"}}})", option,
       "/experimental/clash_api/external_ui"},
      {R"({"endpoints":[{"type":"tailscale","state_directory":"$PUBLIC"}]})", file,
       "/endpoints/0/state_directory"},
      {R"({"outbounds":[{"type":"ssh","private_key_path":"${SystemRoot}\\k"}]})", file,
       "/outbounds/0/private_key_path"},
      {R"({"dns":{"servers":[{"type":"hosts","path":"keys/$PUBLIC"}]}})", file,
       "/dns/servers/0/path"},
      {R"({"services":[{"type":"derp","config_path":"${SystemRoot}"}]})", option, "/services/0"},
      {R"({"inbounds":[{"type":"hysteria2","masquerade":"file:///Users"}]})", option,
       "/inbounds/0/type"},
      {R"({"inbounds":[{"masquerade":"file:///Users","type":"hysteria2"}]})", file,
       "/inbounds/0/masquerade"},
      {R"({"outbounds":[{"type":"tor","extra_args":["-f"],"data_directory":"t"}]})", option,
       "/outbounds/0/type"},
      {R"({"ntp":{"enabled":true,"server":"time.example","write_to_system":true}})", option,
       "/ntp/write_to_system"},
      {R"({"outbounds":[{"type":"shadowsocks","plugin":"v2ray-plugin",
          "plugin_opts":"tls;cert=C:\\x.pem"}]})",
       file, "/outbounds/0/plugin_opts"},
      {R"({"experimental":{"debug":{"listen":"127.0.0.1:6060"}}})", option,
       "/experimental/debug/listen"},
      {R"({"experimental":{"clash_api":{"external_controller":"0.0.0.0:9090"}}})", option,
       "/experimental/clash_api/external_controller"},
      {R"({"experimental":{"unknown":{}}})", option, "/experimental/unknown"},
      {R"({"inbounds":[{"type":"tun"},{"listen":"::"}]})", option, "/inbounds/1"},
      {R"({"outbounds":[{"type":"vless"},{"type":"future"}]})", option, "/outbounds/1/type"},
      {R"({"dns":{"servers":[{"type":"resolved"}]}})", option, "/dns/servers/0/type"},
      {R"({"route":{"rule_set":[{"type":"remote","url":"u"},{"type":7}]}})", option,
       "/route/rule_set/1/type"},
      {R"({"endpoints":"x"})", option, "/endpoints"},
      {R"({"inbounds":["tun"]})", option, "/inbounds/0"},
      {R"({"log":{},"plugins":[]})", option, "/plugins"},
      {R"(["not","an","object"])", option, ""},
      {R"({"certificate":{"store":"system","pem_bundle":"\\\\?\\C:\\x"}})", file,
       "/certificate/pem_bundle"},
      {InOutbound(R"("headers":{"Host":"C:\\x"},"server":"file:x")"), file, kOutbound + "/server"},
  };
  for (const auto& c : cases) {
    const CoreConfigVerdict verdict = CheckCoreConfig(c.json);
    EXPECT_EQ(verdict.kind, c.kind) << c.json;
    EXPECT_EQ(verdict.pointer, c.pointer) << c.json;
  }
}

TEST(CoreConfigCheck, PassesAClientConfigurationAndLookalikes) {
  const std::vector<std::string> cases = {
      R"({"log":{"level":"info","output":"./logs/box.log"},
          "dns":{"servers":[{"type":"https","tag":"remote","server":"1.1.1.1","path":"/dns-query",
                             "detour":"proxy"},
                            {"type":"local","tag":"local"},
                            {"tag":"legacy","address":"tls://8.8.8.8"}],
                 "rules":[{"rule_set":["geosite-cn"],"server":"local"}],"final":"remote"},
          "inbounds":[{"type":"tun","tag":"tun-in","interface_name":"Kelpmarrow",
                       "address":["172.19.0.1/30"],"auto_route":true,"strict_route":true},
                      {"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":7890}],
          "outbounds":[{"type":"selector","tag":"proxy","outbounds":["auto","vless-r","hy2"]},
                       {"type":"urltest","tag":"auto","outbounds":["vless-r","hy2"]},
                       {"type":"vless","tag":"vless-r","server":"v.example","server_port":443,
                        "uuid":"bf000d23-0752-40b4-affe-68f7707a9661","flow":"xtls-rprx-vision",
                        "tls":{"enabled":true,"server_name":"www.example.com",
                               "utls":{"enabled":true,"fingerprint":"chrome"},
                               "reality":{"enabled":true,"public_key":"jNXHt1yRo0vDuchQlIP6Z0Z",
                                          "short_id":"0123abcd"}}},
                       {"type":"hysteria2","tag":"hy2","server":"h.example","server_port":443,
                        "password":"p","tls":{"enabled":true,"server_name":"h.example"}},
                       {"type":"direct","tag":"direct"}],
          "route":{"rules":[{"action":"sniff"},{"protocol":"dns","action":"hijack-dns"},
                            {"process_path":["C:\\Program Files\\App\\app.exe"],"outbound":"direct"},
                            {"rule_set":["geoip-cn"],"outbound":"direct"}],
                   "rule_set":[{"type":"remote","tag":"geoip-cn","format":"binary",
                                "url":"https://example.com/geoip-cn.srs","download_detour":"proxy"},
                               {"type":"remote","tag":"geosite-cn","format":"binary",
                                "url":"https://example.com/geosite-cn.srs"}],
                   "final":"proxy","auto_detect_interface":true},
          "experimental":{"cache_file":{"enabled":true,"path":"cache.db"},
                          "clash_api":{"external_controller":"127.0.0.1:9090","secret":"s3cret"}}})",
      R"({"outbounds":[{"type":"vless","transport":{"type":"ws","path":"/ws",
          "headers":{"Host":"h","X":["a","C:\\b"]}}}]})",
      R"({"outbounds":[{"type":"http","path":"/proxy"}]})",
      R"({"outbounds":[{"path":"/proxy","TYPE":"http","tag":"C:/x"}]})",
      R"({"dns":{"servers":[{"path":"/dns-query","type":"h3"}]}})",
      R"({"route":{"rules":[{"process_path_regex":["^C:\\\\.*"],"domain_regex":["\\\\x"]}]}})",
      R"({"outbounds":[{"type":"direct","protect_path":"/data/x","tcp_multi_path":true}]})",
      R"({"outbounds":[{"type":"shadowsocks","plugin_opts":"mode=websocket;path=/ws;host=a"}]})",
      R"({"log":{"output":null},"ntp":{"enabled":true,"write_to_system":false},"services":[]})",
      R"({"experimental":{"clash_api":{"external_controller":"[::1]:9090"},"debug":{}}})",
      InOutbound(R"("a_path":1,"b_file":{"c":"x"},"outp\u00fct":"/x","a_pathx":"/x")"),
      InOutbound(R"("a_file":"a..b/c...d/.x","x_file":"com10/lpt/nul2/conin")"),
  };
  for (const std::string& json : cases) {
    const CoreConfigVerdict verdict = CheckCoreConfig(json);
    EXPECT_EQ(verdict.kind, CoreConfigVerdict::Accepted) << json << " " << verdict.pointer;
  }
}

TEST(CoreConfigCheck, RefusalMessages) {
  EXPECT_EQ(CoreConfigRefusalMessage(CheckCoreConfig("{")), "configuration is not valid JSON");
  EXPECT_EQ(CoreConfigRefusalMessage(CheckCoreConfig(R"({"log":{"output":"/x"}})")),
            "configuration names a file outside the VPN folder: /log/output");
  EXPECT_EQ(CoreConfigRefusalMessage(CheckCoreConfig(R"({"ntp":{"write_to_system":true}})")),
            "configuration uses an option the VPN service does not allow: /ntp/write_to_system");
  EXPECT_EQ(CoreConfigRefusalMessage(CheckCoreConfig("{}")), "");
}

}  // namespace
