#include "net/PeerTypes.h"

#include "store/Data.h"
#include "store/DataSaver.h"

namespace {

// Each type exists once: another service (or an earlier call) may have
// declared it already, and then its declaration stands.
Type* Declare(const char* name, Primacy primacy, bool isNull, bool autoCreate) {
    if (Type* existing = d.FindType(name))
        return existing;
    return d.NewType(name, primacy, isNull, autoCreate);
}

Type* Leaf(const char* name) {
    return Declare(name, PrimacyLeaf, false, true);
}

Type* Flag(const char* name) {
    return Declare(name, PrimacyLeaf, true, false);
}

// See Type::RelateToType: each b item links to at most x a items, each a item
// to at most y b items.
void Relate(Type* a, Type* b, OneOrMany x, OneOrMany y, bool owns = false) {
    if (!a->IsRelatedTo(b))
        a->RelateToType(b, x, y, owns);
}

}  // namespace

void DeclarePeerTypes(DataSaver* saver) {
    Type* user = d.GetType("user");

    // Where a user was last reported: users behind one address share its item.
    Relate(user, Leaf("user_address"), Many, One);
    Relate(user, Leaf("user_port"), Many, One);

    // Values of files, shared with the shares and transfer subsystems.
    for (const char* name : {"file_size", "bitrate", "bitrate_mode", "length_seconds",
                             "mpeg_version", "channel_mode", "audio_frequency"})
        Leaf(name);

    // A search: the text is the root that keeps its requests (and their
    // answers) through the sweep.
    Type* text = Declare("search_request_text", PrimacyRoot, false, true);
    Type* request = Declare("search_request", PrimacyIntermediate, false, true);
    Relate(text, request, One, Many);
    Relate(request, Flag("wishlist_search"), Many, One);
    Relate(request, Flag("search_stopped"), Many, One);

    // Filled from the server's answer to 153; the server relates whatever is
    // missing in the same way.
    Type* correlation = Declare("search_correlation", PrimacyIntermediate, true, false);
    Relate(text, correlation, One, Many);
    Relate(correlation, Leaf("correlation_text"), Many, One);
    Relate(correlation, Leaf("correlation_rank"), Many, One);

    // One user's answer to one search, and its files.
    Type* results = Declare("search_results", PrimacyIntermediate, true, false);
    Relate(user, results, One, Many);
    Relate(request, results, One, Many);
    for (const char* name : {"search_results_user_available", "search_results_uploads_in_queue",
                             "search_results_user_speed"})
        Relate(results, Leaf(name), Many, One);

    Type* result = Declare("search_result", PrimacyIntermediate, true, false);
    Relate(results, result, One, Many, true);
    for (const char* name : {"search_result_file_name", "search_result_file_folder", "file_size",
                             "bitrate", "bitrate_mode", "length_seconds"})
        Relate(result, Leaf(name), Many, One);

    // Search texts outlive a run only as the origin of a queued download;
    // that type comes with the transfer queue and may not exist yet.
    if (saver && d.FindType("download_entry"))
        saver->AddSavedByConnectionType("search_request_text", "download_entry");
}
