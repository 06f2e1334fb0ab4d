#include "activators/ActivationChanges.h"

bool operator==(const TRegistryValueBefore& a, const TRegistryValueBefore& b) {
  if (a.Name != b.Name || a.Existed != b.Existed) return false;
  if (!a.Existed) return true;
  return a.Value.type == b.Value.type && a.Value.text == b.Value.text &&
         a.Value.dword == b.Value.dword && a.Value.bytes == b.Value.bytes;
}

bool operator==(const TSystemProxyChange& a, const TSystemProxyChange& b) {
  return a.View64 == b.View64 && a.Before == b.Before && a.WrittenEnable == b.WrittenEnable &&
         a.WrittenServer == b.WrittenServer;
}

bool operator==(const TOperaKeyBefore& a, const TOperaKeyBefore& b) {
  return a.Key == b.Key && a.Existed == b.Existed && a.Line == b.Line && a.Written == b.Written;
}

bool operator==(const TFileChange& a, const TFileChange& b) {
  return a.Kind == b.Kind && a.Path == b.Path && a.HasOriginal == b.HasOriginal &&
         a.Original == b.Original && a.SectionAdded == b.SectionAdded &&
         a.BlankLineAdded == b.BlankLineAdded && a.Keys == b.Keys && a.Removed == b.Removed &&
         a.Appended == b.Appended;
}

bool operator==(const TActivationChanges& a, const TActivationChanges& b) {
  return a.System == b.System && a.Files == b.Files;
}
