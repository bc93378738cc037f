#ifndef TAVENOOK_NET_PEERTYPES_H
#define TAVENOOK_NET_PEERTYPES_H

class DataSaver;

// Declares the item types of peer messaging and search results (those that
// do not exist yet, and the relations not made yet, so a second call changes
// nothing) and, with a saver, which of them are saved. Call after
// Server::CreateData: relations use its "user" and correlation types.
//
// "search_request_text" is saved only while linked to a "download_entry";
// that rule is registered here only when "download_entry" is already
// declared, so a later declarer of "download_entry" registers it itself.
void DeclarePeerTypes(DataSaver* saver);

#endif
