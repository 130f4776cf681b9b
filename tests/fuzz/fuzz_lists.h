// Small fixed lists for the engine-level targets: the fuzzed file takes one
// part, these play the others (a local list, a published list, a scope
// file), so that the comparison has something on both sides.
#pragma once

namespace fuzz_lists {

constexpr const char* kPublished = R"(<?xml version="1.0" encoding="UTF-8"?>
<Filelist>
  <Files>
    <File Path="Kestrava.exe" Code="0cc175b9c0f1b6a831c399e269772661" Size="1" Zip="0"/>
    <File Path="data/a.dds" Code="92eb5ffee6ae2fec3ad71c777531578f" Size="1" Zip="2" zipSize="90"/>
    <File Path="data/b.xml" Code="4a8a08f09d37b73795649038408b5f33" Size="1" Zip="1" zipSize="80"/>
    <File Path="scope/login.scope" Code="8277e0910d750195b448797616e091ad" Size="1" Zip="0"/>
  </Files>
</Filelist>
)";

constexpr const char* kLocal = R"(<?xml version="1.0" encoding="UTF-8"?>
<Filelist>
	<Files>
		<File Path="Kestrava.exe" Code="0cc175b9c0f1b6a831c399e269772661" Size="1" Zip="0" />
		<File Path="data/a.dds" Code="00000000000000000000000000000000" Size="1" Zip="2" zipSize="90" />
		<File Path="data/old.pak" Code="e1671797c52e15f763380b45e841ec32" Size="1" Zip="0" />
	</Files>
</Filelist>
)";

constexpr const char* kScope = "data/b.xml\nKestrava.exe\n";

}  // namespace fuzz_lists
