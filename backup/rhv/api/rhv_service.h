#ifndef BACKUP_RHV_API_RHV_SERVICE_H
#define BACKUP_RHV_API_RHV_SERVICE_H

// Base of every resource service of the engine's REST API.
//
// A service holds the shared session and the collection path of its resource relative
// to the API root ("/vms", "/vms/<id>/diskattachments"), and turns the five kinds of
// request into URLs under "/<engine prefix>/api":
//
//   list    GET    /<prefix>/api<service>
//   get     GET    /<prefix>/api<service>/<id>
//   remove  DELETE /<prefix>/api<service>/<id>
//   add     POST   /<prefix>/api<service>
//   action  POST   /<prefix>/api<service>/<id>/<action>
//
// Ids are put into paths as single path segments: anything but letters, digits and
// "-", "_", ".", "~" is percent-encoded ("/" included, lower-case hexadecimal digits),
// and the dots of an id "." or ".." too, so an id can never address another resource;
// the engine's own ids pass unchanged.
//
// A failed request logs, in order, the session's line (transport failures), the
// engine's fault ("Failed to call api, <reason>: <detail>.") or "Failed to extract
// data from result.", and the concrete service's own line; it returns false and leaves
// the caller's records untouched.
//
// Services are small values: copied, moved and destroyed freely, never making a request
// on their own. They share the session, which is not safe for concurrent use.

#include <string>
#include <vector>

#include <ace/Basic_Types.h>

#include "backup/rhv/api/rhv_session.h"
#include "platform/json/value.h"

// Follow flags: which linked entities the engine embeds in a list or get reply instead
// of bare links (bits of an ACE_UINT64, turned into the "follow" query parameter).
enum : ACE_UINT64 {
  RHV_NO_FOLLOW = 0,
  RHV_FOLLOW_DISK = 1,              // the disk of each disk attachment
  RHV_FOLLOW_DISK_ATTACHMENTS = 4,  // the disk attachments of a VM
  RHV_FOLLOW_NICS = 8,              // the NICs of a VM
  RHV_FOLLOW_DISKS = 16             // the disks of a backup
};

class RHV_Service {
public:
  RHV_Service(RHV_Session_var session, std::string service);

  // Replaces the session.
  void session(RHV_Session_var session) { session_ = std::move(session); }
  const RHV_Session_var& session() const { return session_; }
  // The collection path relative to the API root, ids encoded.
  const std::string& service() const { return service_; }

  bool handle_list(const char* query, json_spirit::Value& result);
  bool handle_get(const std::string& id, const char* query, json_spirit::Value& result);
  bool handle_remove(const std::string& id, const char* query, json_spirit::Value& result);
  bool handle_add(const char* query, const json_spirit::Value& body, json_spirit::Value& result);
  bool handle_action(const std::string& id, const std::string& action, const char* query,
                     const json_spirit::Value& body, json_spirit::Value& result);
  // Logs the engine's fault body; always false.
  bool handle_error(const json_spirit::Value& reply);

  // After a failed request: it went out but no answer came back, so the engine may have
  // carried it out all the same. False when the engine answered, or when the request never
  // reached it.
  bool unanswered() const { return session_ && session_->last_unanswered(); }
  // After a failed removal: the engine itself answered that the entity does not exist
  // (RHV_Session::last_not_found), so it is gone already, e.g. removed by a first sending
  // whose answer was lost.
  bool gone() const { return session_ && session_->last_not_found(); }
  // After a failed request: the engine refused it as busy (409), worth another try later.
  // It says so in two ways: the entity is locked ("Disk ... is locked. Please try again in a
  // few minutes."), e.g. while the engine is still making or removing it; or another
  // command holds its lock on the entity ("Related operation is currently in progress"),
  // e.g. a first sending of the same removal whose answer was lost. Other conflicts are not.
  bool busy() const;

  // `id` as one URL path segment (see above).
  static std::string encode_segment(const std::string& id);
  // "<parent>/<encoded id><child>": the path of a collection under one entity.
  static std::string child_path(const char* parent, const std::string& id, const char* child);

protected:
  // The requests of the shared shape with the service's own failure line:
  //   list:   "Failed to call 'GET <service>'."
  //   get:    "Failed to call 'GET <service>/<id>'."
  //   add:    "Failed to call 'POST <service>', data <body JSON>."
  //   remove: "Failed to call 'DELETE <service>/<id>'."
  bool list_value(const std::string& query, json_spirit::Value& result);
  bool get_value(const std::string& id, const std::string& query, json_spirit::Value& result);
  bool add_value(const json_spirit::Value& body, json_spirit::Value& result);
  bool remove_value(const std::string& id, const std::string& query);

  // A reply object turned into records: {} is an empty list; otherwise `loader`
  // (load_rhv_<plural>) decides. `out` keeps its contents on failure.
  template <class T, class Loader>
  static bool load_list(const json_spirit::Value& reply, std::vector<T>& out, Loader loader)
  {
    const json_spirit::Object& object = reply.get_obj();
    if (object.empty()) {
      out.clear();
      return true;
    }
    return loader(object, out);
  }

  // GET of one entity into a record; the record's load decides.
  template <class T>
  bool get_record(const std::string& id, const std::string& query, T& out)
  {
    json_spirit::Value reply;
    return get_value(id, query, reply) && out.load(reply.get_obj());
  }

  // POST of `in`'s dump; the created entity is loaded into `out`.
  template <class T>
  bool add_record(const T& in, T& out)
  {
    json_spirit::Value body(in.dump());
    json_spirit::Value reply;
    return add_value(body, reply) && out.load(reply.get_obj());
  }

  // "/<prefix>/api<service>", or empty without a session.
  std::string collection_url() const;

  RHV_Session_var session_;
  std::string service_;
};

// Builds a query string: pairs are URL-encoded, separated by "&"; a pair with an empty
// text value is left out.
class RHV_Query {
public:
  RHV_Query& operator()(const char* name, const std::string& value);
  RHV_Query& operator()(const char* name, bool value);
  const std::string& str() const { return text_; }

private:
  std::string text_;
};

#endif
