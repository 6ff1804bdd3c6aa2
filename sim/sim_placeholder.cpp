// The simulated drive library; its sources live beside this file.
namespace fwsim_detail { int placeholder = 0; }
