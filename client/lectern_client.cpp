// The client library is the union of the subsystem libraries; this unit only gives it a body.
namespace lectern {
int clientLibraryAnchor = 0;
}
