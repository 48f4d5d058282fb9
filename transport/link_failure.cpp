#include "link_failure.h"

namespace {

LinkFailure& Record()
{
    static LinkFailure record;
    return record;
}

LinkIoFailure& IoRecord()
{
    static LinkIoFailure record;
    return record;
}

}  // namespace

void ClearLinkFailure()
{
    Record() = LinkFailure();
}

const LinkFailure& LastLinkFailure()
{
    return Record();
}

void RecordLinkFailure(const LinkFailure& failure)
{
    Record() = failure;
}

void RecordLinkFailure(LinkFailureKind kind, const std::string& systemText, const std::string& device)
{
    LinkFailure failure;
    failure.kind = kind;
    failure.systemText = systemText;
    failure.device = device;
    Record() = failure;
}

void RecordLinkFailureIfNone(LinkFailureKind kind, const std::string& systemText)
{
    if (Record().kind == LinkFailureKind::kNone)
        RecordLinkFailure(kind, systemText);
}

void ClearLinkIoFailure()
{
    IoRecord() = LinkIoFailure();
}

const LinkIoFailure& LastLinkIoFailure()
{
    return IoRecord();
}

void RecordLinkIoFailure(LinkIoOperation operation, const std::string& systemText)
{
    std::string& text = operation == LinkIoOperation::kRead ? IoRecord().read : IoRecord().write;
    if (text.empty())
        text = systemText;
}
