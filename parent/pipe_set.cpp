#include "parent/pipe_set.h"

namespace LarkParent {

using namespace AnonRpc;

bool CreatePipeSet(HostPipes* host, ParentEnds* parent) {
  HostPipes h;
  ParentEnds p;
  if (!CreatePipePair(&h.fwdReqRead, &p.requestWrite) ||
      !DuplicatePipe(p.requestWrite, &h.fwdReqWrite) ||
      !CreatePipePair(&p.responseRead, &h.fwdResWrite) ||
      !CreatePipePair(&p.reverseRequestRead, &h.revReqWrite) ||
      !CreatePipePair(&h.revResRead, &p.reverseResponseWrite) ||
      !CreatePipePair(&p.notifyRead, &h.ntyWrite))
    return false;
  *host = std::move(h);
  *parent = std::move(p);
  return true;
}

}  // namespace LarkParent
