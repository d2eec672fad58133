#include "parent/pipe_set.h"

namespace LarkParent {

using namespace AnonRpc;

bool CreatePipeSet(PipeHandles* host, ParentEnds* parent) {
  PipeHandles h;
  ParentEnds p;
  const bool created = CreatePipePair(&h.fwdReqRead, &p.requestWrite) &&
                       DuplicatePipe(p.requestWrite, &h.fwdReqWrite) &&
                       CreatePipePair(&p.responseRead, &h.fwdResWrite) &&
                       CreatePipePair(&p.reverseRequestRead, &h.revReqWrite) &&
                       CreatePipePair(&h.revResRead, &p.reverseResponseWrite) &&
                       CreatePipePair(&p.notifyRead, &h.ntyWrite);
  if (!created) {
    ClosePipeSet(h);
    ClosePipeSet(p);
    return false;
  }
  *host = h;
  *parent = p;
  return true;
}

void ClosePipeSet(PipeHandles& h) {
  for (PipeHandle* end : {&h.fwdReqRead, &h.fwdReqWrite, &h.fwdResWrite, &h.revReqWrite,
                          &h.revResRead, &h.ntyWrite}) {
    PipeClose(*end);
    *end = kInvalidPipe;
  }
}

void ClosePipeSet(ParentEnds& p) {
  for (PipeHandle* end : {&p.requestWrite, &p.responseRead, &p.reverseRequestRead,
                          &p.reverseResponseWrite, &p.notifyRead}) {
    PipeClose(*end);
    *end = kInvalidPipe;
  }
}

}  // namespace LarkParent
