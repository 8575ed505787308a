// The broker's configuration check over tables of texts: RFC 8259's edge
// cases, configurations that name files outside the core's folder (with the
// pointer each refusal must give), and configurations that must pass.
#include "service/core_config_check.h"

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
    EXPECT_EQ(verdict.kind, c.valid ? CoreConfigVerdict::Accepted : CoreConfigVerdict::NotJson)
        << c.json.substr(0, 80);
  }
}

struct Refused {
  std::string json;
  std::string pointer;
};

TEST(CoreConfigCheck, RefusesFilesOutsideTheFolder) {
  const std::vector<Refused> cases = {
      {R"({"log":{"output":"C:\\x.log"}})", "/log/output"},
      {R"({"log":{"OUTPUT":"C:/x.log"}})", "/log/OUTPUT"},
      {R"({"log":{"o\u0075tput":"/x"}})", "/log/output"},
      {R"({"log":{"output":"\\x"}})", "/log/output"},
      {R"({"x_path":"\\\\srv\\share\\x"})", "/x_path"},
      {R"({"x_path":"//srv/share/x"})", "/x_path"},
      {R"({"x_path":"\\\\?\\C:\\x"})", "/x_path"},
      {R"({"x_path":"\\\\.\\pipe\\x"})", "/x_path"},
      {R"({"experimental":{"cache_file":{"path":"C:x.db"}}})", "/experimental/cache_file/path"},
      {R"({"tls":{"certificate_path":"file:///C:/x.pem"}})", "/tls/certificate_path"},
      {R"({"tls":{"key_path":"FILE:x.pem"}})", "/tls/key_path"},
      {R"({"a_directory":"..\\x"})", "/a_directory"},
      {R"({"a_file":"a/../b"})", "/a_file"},
      {R"({"a_files":"a\\.."})", "/a_files"},
      {R"({"directory":".."})", "/directory"},
      {R"({"external_ui":"ui/.. /x"})", "/external_ui"},
      {R"({"log":{"output":"NUL"}})", "/log/output"},
      {R"({"log":{"output":"logs/com1.log"}})", "/log/output"},
      {R"({"log":{"output":"Lpt\u00b9 .txt"}})", "/log/output"},
      {R"({"log":{"output":"conout$"}})", "/log/output"},
      {R"({"log":{"output":"aux:x"}})", "/log/output"},
      {R"({"tls":{"\u212Aey_path":"C:\\k"}})",
       "/tls/\xE2\x84\xAA"
       "ey_path"},
      {R"({"route":{"dhcp_lease_file\u017F":["C:\\x"]}})", "/route/dhcp_lease_file\xC5\xBF/0"},
      {R"({"outbounds":[{"type":"tor","executable_path":"tor.exe"}]})",
       "/outbounds/0/executable_path"},
      {R"({"Executable_Path":null})", "/Executable_Path"},
      {R"({"route":{"dhcp_lease_files":["a.leases","C:\\x"]}})", "/route/dhcp_lease_files/1"},
      {R"({"dns":{"servers":[{"type":"hosts","path":["hosts","C:\\hosts"]}]}})",
       "/dns/servers/0/path/1"},
      {R"({"outbounds":[{"path":"/x","type":"socks"}]})", "/outbounds/0/path"},
      {R"({"outbounds":[{"type":"http","path":"/x","type":"socks"}]})", "/outbounds/0/path"},
      {R"({"outbounds":[{"type":"http","tls":{"path":"/x"}}]})", "/outbounds/0/tls/path"},
      {R"({"inbounds":[{"type":"http","path":"/x"}]})", "/inbounds/0/path"},
      {R"({"dns":{"servers":[{"type":"udp","path":"/x"}]}})", "/dns/servers/0/path"},
      {R"({"outbounds":[{"transport":{"type":"ws","path":"/ws","key_path":"/k"}}]})",
       "/outbounds/0/transport/key_path"},
      {R"({"log":{"output":"C:\\x","output":"a.log"}})", "/log/output"},
      {R"({"a/b":{"c~d":{"x_file":"/x"}}})", "/a~1b/c~0d/x_file"},
      {R"({"outbounds":[{"path":"/a","key_path":"/b","type":"socks"}]})", "/outbounds/0/path"},
  };
  for (const Refused& c : cases) {
    const CoreConfigVerdict verdict = CheckCoreConfig(c.json);
    EXPECT_EQ(verdict.kind, CoreConfigVerdict::FileOutsideFolder) << c.json;
    EXPECT_EQ(verdict.pointer, c.pointer) << c.json;
  }
}

TEST(CoreConfigCheck, PassesFilesInsideTheFolderAndLookalikes) {
  const std::vector<std::string> cases = {
      R"({"experimental":{"cache_file":{"enabled":true,"path":"cache.db"}},
          "log":{"output":"./logs/box.log"},
          "route":{"rule_set":[{"type":"local","tag":"geo","path":"rules/geo.srs"}]}})",
      R"({"outbounds":[{"type":"vless","transport":{"type":"ws","path":"/ws"}}]})",
      R"({"outbounds":[{"type":"http","path":"/proxy"}]})",
      R"({"outbounds":[{"path":"/proxy","TYPE":"http"}]})",
      R"({"dns":{"servers":[{"type":"https","server":"1.1.1.1","path":"/dns-query"}]}})",
      R"({"dns":{"servers":[{"path":"/dns-query","type":"h3"}]}})",
      R"({"route":{"rules":[{"process_path":["C:\\Program Files\\x.exe"],"outbound":"direct"},
                            {"process_path_regex":["^C:\\\\.*"],"outbound":"direct"}]}})",
      R"({"outbounds":[{"type":"direct","protect_path":"/data/x","tcp_multi_path":true}]})",
      R"({"log":{"output":null},"a_path":1,"b_file":{"c":"/x"}})",
      R"({"outp\u00fct":"/x","a_pathx":"/x"})",  // ü folds to no ASCII letter
      R"({"a_file":"a..b/c...d/.x"})",
      R"({"log":{"output":"console.log"},"a_file":"com10/lpt/nul2/conin"})",
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
  EXPECT_EQ(CoreConfigRefusalMessage(CheckCoreConfig("{}")), "");
}

}  // namespace
