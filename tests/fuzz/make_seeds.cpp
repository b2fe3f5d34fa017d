// Writes the fuzzers' starting corpus with the tests' TNEF writer:
//   make_seeds DIR   (writes DIR/tnef/* and DIR/nested/*)
#include "tests/filter/TnefWriter.h"

#include <string>

using vtest::Le32;
using vtest::TnefProps;
using vtest::TnefWriter;

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    std::string dir = argv[1];
    auto tnef = [&](const std::string& name, const std::string& bytes) {
        return vtest::WriteFile(dir + "/tnef/" + name, bytes);
    };
    auto nested = [&](const std::string& name, const std::string& bytes) {
        return vtest::WriteFile(dir + "/nested/" + name, bytes);
    };
    bool ok = true;

    TnefWriter titles;
    titles.Title("REPORT.DOC").Content("some content").Title("second.exe");
    ok &= tnef("titles", titles.Bytes());

    TnefProps props;
    props.Named(0x8001, vtest::kPtString8, "X-Name",
                Le32(1) + Le32(4) + "abc" + std::string(1, '\0'));
    props.Named(0x8002, 0x0003, "", Le32(7));
    props.MultiLong(0x1234, {1, 2});
    props.MultiText(vtest::kPrAttachLongFilename, {"one.txt", "two.exe"});
    props.Object(0x3701, "embedded");
    props.Time(0x0E06);
    props.Unicode(vtest::kPrDisplayName, "Quarterly Report");
    props.Text(vtest::kPrAttachFilename, "QUARTE~1.DOC");
    TnefWriter attachment;
    attachment.MessageProps(TnefProps().Text(vtest::kPrDisplayName, "msg"));
    attachment.Title("a.doc").Attachment(props);
    ok &= tnef("properties", attachment.Bytes());

    TnefWriter longName;
    longName.Attribute(2, vtest::kAttAttachTitle, std::string(600, 'L'));
    longName.Attachment(TnefProps().Text(vtest::kPrAttachLongFilename, std::string(520, 'n')));
    ok &= tnef("long-names", longName.Bytes());

    TnefWriter many;
    many.Attribute(2, vtest::kAttAttachment, TnefProps().Long(0x0E20, 1).DataWithCount(3001));
    ok &= tnef("count-3001", many.Bytes());

    ok &= tnef("truncated", titles.Cut(titles.Bytes().size() - 4));
    std::string level3 = titles.Bytes();
    level3[6] = 3;
    ok &= tnef("level-3", level3);

    ok &= nested("headers", "From: a@b\r\nContent-Type: application/x; name=\"virus.exe\"\r\n\r\n"
                            "body username=virus\r\n");
    ok &= nested("cr-only", "a\rname=x;virus.exe\rb");
    ok &= nested("zeros", std::string("name=a\0name=virus.exe\n", 22));
    return ok ? 0 : 1;
}
