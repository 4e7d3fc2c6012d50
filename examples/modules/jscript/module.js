// An add-in module in JScript: what it can do with the global services as VBScript does, and the
// three places where JScript differs.
//
//   cscript //nologo module.js PARAMETER-FILE
//
// Run it where the add-in is installed, as the VBScript module; the parameter file is one like
// examples\params\beam.pp.
var g = new ActiveXObject("VELMOSWGlobalLib.MOLTRAGlobalClass");

// Start-up, properties and settings read and write as from VBScript.
var r = g.MOLTRAG_Init("2010");
WScript.Echo("MOLTRAG_Init answered " + r + ", version " + g.Version);
if (g.AppPath == "" || g.UserPath == "") {
  WScript.Echo("The add-in is not installed here, or no user was chosen.");
  WScript.Quit(1);
}
g.RegWriteInterfaceValue("ExampleScript", "jscript");
WScript.Echo("ExampleScript is '" + g.RegReadInterfaceValue("ExampleScript") + "'");

// 1. Sections and Names answer VB arrays: turn them into JScript arrays. An absent value comes
//    back as undefined.
var cfg = g.VelmoCFG;
var sections = new VBArray(cfg.Sections()).toArray();
WScript.Echo("Sections: " + sections.join(", "));
WScript.Echo("Units/Length: " + cfg.Value("Units", "Length") + ", Units/Mass: " +
             cfg.Value("Units", "Mass"));

// 2. JScript has no by-reference arguments. MOLTRAG_GetPP answers 0 but cannot hand the document
//    back: pp stays as it was. (Start it as null and the call fails instead: see 3.)
var file = WScript.Arguments.Item(0);
var pp;
r = g.MOLTRAG_GetPP(file, pp);
WScript.Echo("MOLTRAG_GetPP answered " + r + ", pp is " + pp);

// Take the document through a classPP instead: LoadPP reads the file, PP is a property.
var entry = new ActiveXObject("VELMOSWGlobalLib.classPP");
r = entry.LoadPP(file);
var document = entry.PP;
var names = new VBArray(document.Names()).toArray();
WScript.Echo("LoadPP answered " + r + "; " + names.length + " values, Profile " +
             document.Value("Profile"));

// 3. null is not Nothing: where a document is expected it is a type mismatch, an error the
//    member never sees, rather than the member's fallback.
try {
  cfg.Merge(null);
  WScript.Echo("Merge(null) passed");
} catch (e) {
  // DISP_E_TYPEMISMATCH, 0x80020005.
  WScript.Echo("Merge(null) raised 0x" + (e.number >>> 0).toString(16) +
               ((e.number >>> 0) == 0x80020005 ? ", a type mismatch" : ""));
}

WScript.Echo("MOLTRAG_Close answered " + g.MOLTRAG_Close());
