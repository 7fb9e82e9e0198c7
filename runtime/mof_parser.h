// The MOF loader: reads the subset of MOF our schemas use into a Schema.
//
//   [qualifiers] class Name : Super {
//     [qualifiers] type Property;
//     [qualifiers] uint32 Method([In] type p, [Out] type q, [In, Out] type r);
//   };
//
// Types: string, sint32, uint32, boolean; a string qualified
// EmbeddedInstance("Cls") holds an object of Cls (EmbeddedObject: any
// class). Parameters without In or Out are input. Qualifiers other than
// In, Out, EmbeddedInstance and EmbeddedObject are read and ignored.
// Redeclaring an inherited member is an error (no overrides).

#ifndef QMX_RUNTIME_MOF_PARSER_H_
#define QMX_RUNTIME_MOF_PARSER_H_

#include <string>

#include "runtime/class_def.h"

namespace qmx {

// Adds the classes in text to schema; superclasses must already be known.
// False with *error = "<fileName>:<line>: <reason>".
bool ParseMof(const std::string& text, const std::string& fileName,
              Schema* schema, std::string* error);

// After the last file: checks that every embedded class exists and spells
// it as its class does.
bool ResolveEmbeddedClasses(Schema* schema, std::string* error);

}  // namespace qmx

#endif  // QMX_RUNTIME_MOF_PARSER_H_
